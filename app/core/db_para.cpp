#include "app/core/db_para.h"

#include <exception>
#include <filesystem>
#include <stdexcept>

#include "app/core/error_text.h"
#include "app/core/start_mess.h"
#include "app/core/texts.h"
#include "text/gbk.h"
#include "text/param_codec.h"

namespace app {

DbParaCore::DbParaCore(const db::Registry& registry, DbParaView& view)
    : registry_(registry), view_(view) {}

std::string DbParaCore::Key() {
  return "SOFTWARE\\Quorvant\\" + text::Gbk(StartMess);
}

std::string DbParaCore::FormCreate() {
  view_.SetCaption(std::string(texts::kDbParaCaptionBefore) + StartMess +
                   texts::kDbParaCaptionAfter);
  if (!StartError.empty()) view_.ShowCause(texts::kConnectCause + StartError);
  for (ParamEdit e : {ParamEdit::kOdbc, ParamEdit::kUser, ParamEdit::kPass})
    view_.SetEditText(e, "");
  try {
    const std::string key = Key();
    if (registry_.KeyExists(key)) {
      view_.SetEditText(ParamEdit::kOdbc,
                        text::Utf8(text::Trim(registry_.ReadString(key, "ODBCNAME"))));
      view_.SetEditText(
          ParamEdit::kUser,
          text::Utf8(text::DecodeParam(text::Trim(registry_.ReadString(key, "USERNAME")))));
      view_.SetEditText(
          ParamEdit::kPass,
          text::Utf8(text::DecodeParam(text::Trim(registry_.ReadString(key, "PASSWORD")))));
    }
  } catch (const std::exception& e) {
    return ErrorTextUtf8(e.what());
  }
  return {};
}

void DbParaCore::btModClick() {
  view_.ShowGroup();
}

void DbParaCore::btOkClick() {
  try {
    Save();
  } catch (const std::exception& e) {
    view_.ShowError(ErrorTextUtf8(e.what()));
    return;
  }
  view_.CloseWindow();
}

void DbParaCore::btExitClick() {
  view_.CloseWindow();
}

std::string DbParaCore::TrimmedGbk(ParamEdit edit, const char* field) const {
  try {
    return text::Trim(text::Gbk(view_.EditText(edit)));
  } catch (const std::runtime_error&) {
    throw std::runtime_error(std::string(field) + texts::kNotGbk);
  }
}

void DbParaCore::Save() {
  // All three are converted before anything is created or written, so a value
  // that cannot be stored leaves the key as it was rather than half changed.
  const std::string odbc = TrimmedGbk(ParamEdit::kOdbc, texts::kFieldOdbc);
  const std::string user = TrimmedGbk(ParamEdit::kUser, texts::kFieldUser);
  const std::string pass = TrimmedGbk(ParamEdit::kPass, texts::kFieldPass);
  const std::string parent = "SOFTWARE\\Quorvant";
  const std::string key = Key();
  for (const std::string& k : {parent, key}) {
    if (!registry_.KeyExists(k) && !registry_.OpenKeyForWrite(k, true))
      throw db::RegistryError(texts::kKeyNotCreated + text::Utf8(k));
  }
  if (registry_.OpenKeyForWrite(key, true)) {
    registry_.WriteString(key, "ODBCNAME", odbc);
    registry_.WriteString(key, "USERNAME", text::EncodeParam(user));
    registry_.WriteString(key, "PASSWORD", text::EncodeParam(pass));
  } else {
    std::string message = texts::kSaveRefused;
    const std::filesystem::path file = registry_.ValuesFile(key);
    if (!file.empty())
      message +=
          std::string("\n\n") + texts::kSaveRefusedFile + file.string() + texts::kSaveRefusedRemedy;
    view_.ShowInformation(message);
  }
}

}  // namespace app
