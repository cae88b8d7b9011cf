#include "app/qt/db_para.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/core/layout.h"
#include "app/qt/look.h"

namespace app {

TDbPara::TDbPara(const db::Registry& registry, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  const layout::Form& form = layout::kDbPara;
  setObjectName(form.name);
  setWindowTitle(U(form.caption));
  setFont(SongTi());
  BuildForm(this, form);
  for (auto [label, name] : {std::pair{&Label1, "Label1"},
                             {&Label2, "Label2"},
                             {&Label3, "Label3"},
                             {&Label4, "Label4"},
                             {&Label5, "Label5"},
                             {&Label6, "Label6"},
                             {&Label7, "Label7"},
                             {&Label8, "Label8"},
                             {&Label9, "Label9"},
                             {&Label10, "Label10"}})
    *label = Child<QLabel>(this, name);
  btMod = Child<QPushButton>(this, "btMod");
  btExit = Child<QPushButton>(this, "btExit");
  btOk = Child<QPushButton>(this, "btOk");
  grbBox = Child<QGroupBox>(this, "grbBox");
  edOdbc = Child<QLineEdit>(this, "edOdbc");
  edUser = Child<QLineEdit>(this, "edUser");
  edPass = Child<QLineEdit>(this, "edPass");

  connect(btMod, &QPushButton::clicked, this, &TDbPara::btModClick);
  connect(btOk, &QPushButton::clicked, this, &TDbPara::btOkClick);
  connect(btExit, &QPushButton::clicked, this, &TDbPara::btExitClick);

  PreviewKeys(this);

  FixAndCentre(this, form.client_width, form.client_height);
  core_ = std::make_unique<DbParaCore>(registry, *this);
  const std::string error = core_->FormCreate();
  // Reported once the dialog is up, as an error in a creation handler is.
  if (!error.empty()) QTimer::singleShot(0, this, [this, error] { ShowErrorBox(this, U(error)); });
}

TDbPara::~TDbPara() = default;

QLineEdit* TDbPara::Edit(ParamEdit edit) const {
  switch (edit) {
    case ParamEdit::kOdbc:
      return edOdbc;
    case ParamEdit::kUser:
      return edUser;
    case ParamEdit::kPass:
      break;
  }
  return edPass;
}

void TDbPara::SetCaption(std::string_view utf8) {
  setWindowTitle(U(utf8));
}

std::string TDbPara::EditText(ParamEdit edit) const {
  return Edit(edit)->text().toStdString();
}

void TDbPara::SetEditText(ParamEdit edit, std::string_view utf8) {
  Edit(edit)->setText(U(utf8));
  // A long data source name shows its beginning ("embedded:/…"), not its tail.
  if (edit == ParamEdit::kOdbc) edOdbc->setCursorPosition(0);
}

void TDbPara::ShowGroup() {
  grbBox->show();
  int frame = frameGeometry().height() - geometry().height();
  if (frame <= 0) frame = layout::kClassicFrameHeight;
  setFixedSize(width(), layout::kDbParaOuterHeightWithGroup + cause_height_ - frame);
}

// Below the last warning, across the window; the window and the parameter
// group below it move down by the label's height.
void TDbPara::ShowCause(std::string_view utf8) {
  constexpr int kTop = 100, kGap = 6;
  if (!lbCause) {
    lbCause = new QLabel(this);
    lbCause->setObjectName(QStringLiteral("lbCause"));
    lbCause->setWordWrap(true);
    lbCause->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lbCause->setFocusPolicy(Qt::NoFocus);
  }
  lbCause->setText(Unbroken(U(utf8)));
  const int left = layout::Find(layout::kDbPara, "Label4").left;
  const int width = layout::kDbPara.client_width - 2 * left;
  const int height = lbCause->heightForWidth(width);
  lbCause->setGeometry(left, kTop, width, height);
  lbCause->show();
  const int grown = kTop + height + kGap - layout::kDbPara.client_height;
  grbBox->move(grbBox->x(), grbBox->y() + grown - cause_height_);
  cause_height_ = grown;
  FixAndCentre(this, layout::kDbPara.client_width, layout::kDbPara.client_height + grown);
}

void TDbPara::ShowInformation(std::string_view utf8) {
  ShowInformationBox(this, U(utf8));
}

void TDbPara::ShowError(std::string_view utf8) {
  ShowErrorBox(this, U(utf8));
}

void TDbPara::CloseWindow() {
  close();
}

bool TDbPara::eventFilter(QObject* watched, QEvent* event) {
  if (PressFocusedButton(watched, event)) return true;
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->hasFocus()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) focusNextChild();
  }
  return false;  // the key still reaches the control
}

}  // namespace app
