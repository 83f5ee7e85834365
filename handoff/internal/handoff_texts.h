// handoff_texts.h: every text vexel-handoff shows its user, in one place,
// and how a text is made safe for where it is shown.
//
// Texts are plain UTF-8 with names as they are (any bytes); the desktop
// (desktop.h) makes them safe where it shows them: forNotificationTitle and
// forNotificationBody for a notification (the body is markup to the
// notification server, so an entry name holding "<a href=…>" must not become
// a link), forTerminalLine for a line on standard error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archiver/run_result.h"

namespace vexel::handoff_internal {

// quoted: “text” (the name's bytes as they are).
[[nodiscard]] std::string quoted(std::string_view text);
[[nodiscard]] std::string quoted(const std::filesystem::path& path);
// quotedName: the quoted last component of `path`.
[[nodiscard]] std::string quotedName(const std::filesystem::path& path);

// ---- Refusals, before anything is done -------------------------------------

inline constexpr std::string_view kCannotHandleLinkTitle = "无法处理这个链接";
inline constexpr std::string_view kCannotHandleRequestTitle = "无法处理这个请求";
inline constexpr std::string_view kNotVexelLink = "这不是 Vexel 的链接（vexel://…）。";
inline constexpr std::string_view kMalformedLink = "链接的格式不对。";
inline constexpr std::string_view kNoFilesInLink = "链接里没有要处理的文件。";
inline constexpr std::string_view kHandoverGone =
    "这个链接交来的文件清单已经不在了（只能用一次，而且只在本机本用户有效）。";
[[nodiscard]] std::string unknownAction(std::string_view action);
[[nodiscard]] std::string unsupportedFormat(std::string_view format);
[[nodiscard]] std::string notAbsolutePath(std::string_view path);

inline constexpr std::string_view kCannotCompressRoot = "不能压缩整个根文件夹。";
[[nodiscard]] std::string notFound(const std::filesystem::path& path);
[[nodiscard]] std::string cannotRead(const std::filesystem::path& path, std::string_view reason);
[[nodiscard]] std::string folderNotArchive(const std::filesystem::path& path);
[[nodiscard]] std::string notRegularFile(const std::filesystem::path& path);
[[nodiscard]] std::string notArchive(const std::filesystem::path& path);

// kArchiverNames: what toolMissing names when no archiver is installed.
inline constexpr std::string_view kArchiverNames = "7z 或 bsdtar";

// ---- Extract ----------------------------------------------------------------

[[nodiscard]] std::string extractingTitle(const std::filesystem::path& archive);
[[nodiscard]] std::string extractedTitle(const std::filesystem::path& archive);
// extractedBody: where the result went, and what was left out of it (links
// that led out of the destination; devices, named pipes and sockets).
[[nodiscard]] std::string extractedBody(const std::filesystem::path& placed,
                                        std::int64_t linksLeftOut = 0,
                                        std::int64_t specialsLeftOut = 0);
// onlyLeftOut: an archive holding nothing but what extraction leaves out.
[[nodiscard]] std::string onlyLeftOut(std::int64_t linksLeftOut, std::int64_t specialsLeftOut);
// notEnoughSpace: the listed size does not fit in the free space.
[[nodiscard]] std::string notEnoughSpace(std::string_view needed, std::string_view available,
                                         const std::filesystem::path& folder);
// noPrivateFolder: 7-Zip has no folder to write in that others cannot change.
[[nodiscard]] std::string noPrivateFolder(const std::filesystem::path& folder);
// sevenZipReadsNoRar: an encrypted RAR archive, which only 7-Zip decrypts,
// and a 7-Zip built without RAR (Debian's 7zip package is).
[[nodiscard]] std::string sevenZipReadsNoRar(std::string_view tool);
[[nodiscard]] std::string cannotExtractTitle(const std::filesystem::path& archive);
[[nodiscard]] std::string passwordQuestion(const std::filesystem::path& archive);
// someDamaged: "已解压 4 个文件，2 个文件已损坏，没有解压：“a”、“b”。" (the
// first names, then how many more).
[[nodiscard]] std::string someDamaged(std::int64_t files, const std::vector<std::string>& damaged);
// wrongPasswordQuestion: the question again, after a wrong password.
[[nodiscard]] std::string wrongPasswordQuestion(const std::filesystem::path& archive);

// ---- Compress ---------------------------------------------------------------

// kDefaultArchiveName: the archive's name when the items' folder has none ("/").
inline constexpr std::string_view kDefaultArchiveName = "归档";
// whatIsCompressed: the quoted name of one item, or " N 个项目".
[[nodiscard]] std::string whatIsCompressed(const std::filesystem::path& firstItem,
                                           std::size_t count);
[[nodiscard]] std::string compressDialogTitle(std::string_view what);
[[nodiscard]] std::string compressingTitle(std::string_view what);
[[nodiscard]] std::string compressedTitle(const std::filesystem::path& archive);
[[nodiscard]] std::string compressedBody(const std::filesystem::path& folder);
[[nodiscard]] std::string cannotCompressTitle(std::string_view what);
[[nodiscard]] std::string notCompressedTitle(std::string_view what);

// The compression dialog: its fields, and the levels offered with the
// compression level each stands for, the default first.
inline constexpr std::string_view kChoiceField = "选择";
inline constexpr std::string_view kFormatField = "格式";
inline constexpr std::string_view kLevelField = "压缩级别";
inline constexpr std::pair<std::string_view, int> kCompressionLevels[] = {
    {"标准", 5}, {"最快", 1}, {"最小", 9}, {"仅存储", 0}};

// cannotCreateFile, cannotMoveFileTo: the system refused to make or fill a
// name beside the items (the compressed archive's place).
[[nodiscard]] std::string cannotCreateFile(const std::filesystem::path& path,
                                           std::string_view reason);
[[nodiscard]] std::string cannotMoveFileTo(const std::filesystem::path& path,
                                           std::string_view reason);
// ---- Open -------------------------------------------------------------------

[[nodiscard]] std::string cannotShowTitle(const std::filesystem::path& archive);
[[nodiscard]] std::string contentsTitle(const std::filesystem::path& archive);
[[nodiscard]] std::string previewPageBody(const std::filesystem::path& page);
[[nodiscard]] std::string cannotMakeTemporaryFolder(std::string_view reason);
[[nodiscard]] std::string cannotWritePreviewPage(std::string_view reason);
[[nodiscard]] std::string browserCannotOpen(const std::filesystem::path& page);
inline constexpr std::string_view kTooManyPreviewsTitle = "没有全部显示";
// tooManyPreviews: one URL shows at most `most` archives' contents.
[[nodiscard]] std::string tooManyPreviews(std::size_t most, std::size_t notShown);

// ---- An archiver's failure ----------------------------------------------------

// toolFailureText: what a failed run of an archiver says, for its user: the
// error lines of its standard error (else of its standard output) as a
// terminal would show them (backspaces and carriage returns applied), without
// 7-Zip's banner and progress, "errno=N : …" as the system's own text for N in
// the user's language, at most three lines; empty when nothing is left.
[[nodiscard]] std::string toolFailureText(const RunResult& result);
// explainedFailure: `message` as the user reads it: words of libarchive or
// 7-Zip (English) come after a Chinese explanation of what they mean
// ("无法读取压缩包：压缩包不完整……\n详细信息：Truncated input file …");
// a message that explains itself stays as it is.
[[nodiscard]] std::string explainedFailure(std::string_view message);

// ---- Where texts are shown ------------------------------------------------------

// forNotificationTitle: a notification's summary, which servers show as
// plain text: valid UTF-8 (U+FFFD for other bytes, which notify-send would
// refuse), one line, no control characters.
[[nodiscard]] std::string forNotificationTitle(std::string_view text);
// forNotificationBody: a notification's body, which servers read as markup:
// valid UTF-8, no control characters but line feeds, and & < > as
// character references (every server knows these; without a "<" no tag can
// start, so quotes need none).
[[nodiscard]] std::string forNotificationBody(std::string_view text);
// forTerminalLine: a line on standard error: valid UTF-8 and no control
// characters (a name cannot drive the terminal), line feeds as spaces.
[[nodiscard]] std::string forTerminalLine(std::string_view text);

}  // namespace vexel::handoff_internal
