// Every text the desktop program writes itself, in UTF-8 as a person reads it:
// the captions of its message boxes, its messages and the start-up texts. The
// captions of the controls live with their layouts (app/core/layout.h). Both
// windows, the Qt one and the native Windows one, take their texts from here.
#pragma once

namespace app::texts {

// The caption of every message box of the program's own.
inline constexpr const char* kInformationCaption = "提示信息";

// StartMess while the data module connects: what the splash window shows.
inline constexpr const char* kConnecting = "系统正在连接数据库，请稍候...";
// StartMess once the connection is open.
inline constexpr const char* kStartOk = "OK";
// StartMess when start-up falls back to the dialog: the registry sub-key under
// SOFTWARE\Quorvant the dialog edits.
inline constexpr const char* kDialogKey = "Lib";

// The end of a run of the upgrade window.
inline constexpr const char* kAllDone = "所有处理已完成！";
// Asked when the window is closed during a run.
inline constexpr const char* kLeaveQuestion =
    "升级正在进行。现在退出将撤销正在进行的这一步（已完成的步骤保留）。确定要退出吗？";

// The dialog: its caption around StartMess, and what a save may say.
inline constexpr const char* kDbParaCaptionBefore = "设置数据库【";
inline constexpr const char* kDbParaCaptionAfter = "】连接参数";
inline constexpr const char* kSaveRefused =
    "保存您配置的参数失败！只有具有权限的用户，如Administrator才能修改，请与系统管理员联系！";
// Below the dialog's warnings: what the driver said when the connection
// failed, after this text.
inline constexpr const char* kConnectCause = "连接时数据库驱动程序报告：";
// After the save-refused text, where the key's values are a file (not on
// Windows): the file, then the remedy.
inline constexpr const char* kSaveRefusedFile = "无法写入文件 ";
inline constexpr const char* kSaveRefusedRemedy =
    "。请以 root 身份运行本程序，或把环境变量 LIBUPGRADE_REGISTRY_ROOT "
    "设为一个可写的文件夹后再运行。";
// A key that cannot be created: followed by the key's path.
inline constexpr const char* kKeyNotCreated = "无法创建注册表项 HKEY_LOCAL_MACHINE\\";
// A value GBK cannot hold: preceded by the field's name.
inline constexpr const char* kNotGbk = "中有GBK编码无法表示的字符，请改正后再保存。";
// The fields, as the dialog's labels name them.
inline constexpr const char* kFieldOdbc = "ODBC名称";
inline constexpr const char* kFieldUser = "登录标识号";
inline constexpr const char* kFieldPass = "密码";

// The caption of the error box (an error nobody below the window caught):
// the program's boxes all go by "提示信息"; the icon tells an error apart.
inline constexpr const char* kErrorCaption = "提示信息";

}  // namespace app::texts
