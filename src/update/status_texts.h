#pragma once
// The texts the updater shows and logs; users see them, so they stay as they
// are, byte for byte.

namespace texts {

constexpr wchar_t kConnecting[] = L"正在连接 %s 号游戏服务器 ";
constexpr wchar_t kFilesToUpdate[] = L"需更新文件总数: %u,文件总长度: %u KB";
constexpr wchar_t kUpdatingFile[] = L"正在更新版本号为 %s中的文件：%s";
constexpr wchar_t kDownloaded[] = L"下载文件成功 [%s]";
constexpr wchar_t kDownloadFailed[] = L"下载文件失败[%s], 错误代码 [%u]";
// Logged after a failed download: the address asked for last.
constexpr wchar_t kLastUrlTried[] = L"最后请求的地址 [%s]";
constexpr wchar_t kDeleteFailed[] = L"删除文件失败 [%s]";
constexpr wchar_t kRenameFailed[] = L"重命名文件失败 [%s]";
// A file in place whose time could not be set: a later run may fetch it again.
constexpr wchar_t kStampFailed[] = L"设置文件时间失败 [%s]";
constexpr wchar_t kMd5ManifestSide[] = L"MD5检验失败，正在更新的版本号[%s],XML配置文件名[%s],MD5=[%s]";
constexpr wchar_t kMd5LocalSide[] = L"MD5检验失败，正在更新的版本号[%s],下载到本地的的文件名[%s],MD5=[%s]";
constexpr wchar_t kVersionDone[] = L"更新完毕";
constexpr wchar_t kNextVersion[] = L"升级下一个版本 %s";
// Signed releases: a refused server document (its name and the reason), a
// file that differs from its signed digest, and one that has none.
constexpr wchar_t kDocumentRefused[] = L"签名校验失败[%s], 原因 [%s]";
constexpr wchar_t kSha256ManifestSide[] = L"SHA256检验失败，正在更新的版本号[%s],XML配置文件名[%s],SHA256=[%s]";
constexpr wchar_t kSha256LocalSide[] = L"SHA256检验失败，正在更新的版本号[%s],下载到本地的的文件名[%s],SHA256=[%s]";
constexpr wchar_t kNoSha256[] = L"缺少SHA256，未安装文件 [%s]";
// A key file that is there but unusable: every document is refused.
constexpr wchar_t kTrustKeyUnreadable[] = L"无法读取签名密钥文件 [%s]，所有更新文件都将被拒绝";
constexpr wchar_t kTrustKeyNone[] = L"签名密钥文件 [%s] 中没有有效的密钥，所有更新文件都将被拒绝";
// A directory that stands where a file goes and holds things that are not
// the updater's: the file's path and the first such thing.
constexpr wchar_t kDirectoryInTheWay[] = L"无法安装文件 [%s]：该位置已有目录，其中有其他内容 [%s]";
// A write of a download that failed: the file, and why.
constexpr wchar_t kWriteFailed[] = L"写入文件失败 [%s]，原因 [%s]";
constexpr wchar_t kReasonDiskFull[] = L"磁盘空间不足";
constexpr wchar_t kReasonNoPermission[] = L"没有写入权限";
constexpr wchar_t kReasonReadOnly[] = L"磁盘只读";
// Too little free space for the files of a version: needed and free, with units.
constexpr wchar_t kDiskSpaceShort[] = L"磁盘空间不足：需要 %s，可用 %s";
// A manifest entry whose path would leave the installation.
constexpr wchar_t kUnsafePath[] = L"文件路径不安全，已跳过 [%s]";
// An entry of an unsigned manifest that targets the Windows or System
// directory.
constexpr wchar_t kSystemDirUnsigned[] = L"文件列表未签名，不能写入系统目录，已跳过 [%s]";
// An entry whose name the locale's code page cannot spell exactly; the
// characters it lacks are written as <U+XXXX>.
constexpr wchar_t kNameNotSpellable[] = L"文件名无法在本机编码中准确表示，已跳过 [%s]";
// A recorded version that is not a version number; it counts as 0.
constexpr wchar_t kBadRecordedVersion[] = L"记录的版本号无效，按 0 处理 [%s]";
// A pending copy of the updater that does not match its recorded digest.
constexpr wchar_t kPendingUpdaterRefused[] = L"新版升级程序校验失败，已删除 [%s]";
// A version whose files are in place but that the resume file would not
// take (read-only, disk full): the version and the file.
constexpr wchar_t kVersionNotRecorded[] = L"无法记录版本号 %s [%s]";
// The lobby could not be started at the hand-over: its path.
constexpr wchar_t kLobbyNotStarted[] = L"无法启动游戏大厅 [%s]";
// A second start on an install that an updater is already updating.
constexpr wchar_t kAlreadyRunning[] = L"升级程序已在运行，本次启动退出";

// A server given up, with the reason; a run that hands over below the
// newest version.
constexpr wchar_t kServerAbandoned[] = L"放弃 %d 号游戏服务器：%s";
constexpr wchar_t kReasonStalled[] = L"30秒内没有收到数据";
constexpr wchar_t kReasonBadList[] = L"版本列表无法读取";
constexpr wchar_t kReasonManifestFailed[] = L"版本 %s 的文件列表获取失败";
constexpr wchar_t kReasonManifestConflict[] = L"版本 %s 的文件列表中 [%s] 出现多次且内容不一致";
constexpr wchar_t kReasonManifestNameOfOurs[] = L"版本 %s 的文件列表中 [%s] 与更新用的临时文件同名";
constexpr wchar_t kReasonUserSwitch[] = L"用户切换服务器";
constexpr wchar_t kHandOverBelowNewest[] = L"未能更新到最新版本 %s（当前版本 %s），直接启动游戏大厅";
constexpr wchar_t kHandOverNoVersionList[] = L"没有服务器提供版本列表，未能更新，直接启动游戏大厅";
// A stored server entry that does not read as an address (typed in by hand
// where it had to be scrambled): its key.
constexpr wchar_t kServerEntryUnreadable[] = L"服务器地址无法读取 [%s]";
// A server address of the version list holding a control character.
constexpr wchar_t kServerEntryRefused[] = L"服务器地址含有控制字符，未保存 [%d] [%s]";

constexpr wchar_t kTooOld[] = L"很抱歉，您的游戏当前版本太旧了，请到游戏官网重新下载安装！";
constexpr wchar_t kConfirmExit[] = L"程序正在更新中,确定要退出升级吗？";
constexpr wchar_t kConfirmSwitch[] = L"确定要切换服务器，重新下载吗？";
constexpr wchar_t kConfirmSkip[] = L"确定不准备更新最新的版本，直接进入游戏大厅吗？";
constexpr wchar_t kPrompt[] = L"提示";
constexpr wchar_t kWindowTitle[] = L"自动升级";
constexpr wchar_t kTrayTip[] = L"正在自动更新";
constexpr wchar_t kFailureDefault[] = L"抱歉，升级失败！";
constexpr wchar_t kSocketsFailed[] = L"Windows 套接字初始化失败。";
// Printed by the console front end when the command line lacks its words.
constexpr wchar_t kUsage[] = L"用法：%s <服务器> auto|repair";

}  // namespace texts
