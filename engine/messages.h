// Texts the engine shows to the user, exactly as the user reads them.
#pragma once

#include <string>

namespace tandrel {

enum class MessageBoxButtons { OK, YesNo, Cancel };
enum class MessageBoxIcon { None, Warning, Question, Information };
enum class DialogResult { OK, Yes, No, Cancel };

struct MessageBoxRequest {
    std::string text;
    std::string caption;  // title; empty for none
    MessageBoxButtons buttons = MessageBoxButtons::OK;
    MessageBoxIcon icon = MessageBoxIcon::None;

    bool operator==(const MessageBoxRequest&) const = default;
};

namespace text {
inline constexpr const char* kLoadErrorText = "There was an error loading your FileList!";
inline constexpr const char* kLoadErrorTitle = "Files Not Added!";
inline constexpr const char* kWarningTitle = "Warning!";
inline constexpr const char* kContinueText = "Would you like to continue?";
inline constexpr const char* kContinueTitle = "Continue?";
inline constexpr const char* kCompleteTitle = "Backup Complete";
inline constexpr const char* kCopiedSuffix = " KB copied successfully";
inline constexpr const char* kTotalFiles = "Total Files: ";
inline constexpr const char* kTotalFolders = "Total Folders: ";
inline constexpr const char* kRemoveCurrentText = "Would you like to remove current files?";
inline constexpr const char* kProgramTitle = "Tandrel";
// "Waiting for another backup into 'D' to finish…"
inline constexpr const char* kWaitingText = "Waiting for another backup into ";
inline constexpr const char* kWaitingSuffix = " to finish\u2026";
// "The destination 'D' is on a drive that is not mounted now ('M')"
inline constexpr const char* kNotMountedText = "The destination ";
inline constexpr const char* kNotMountedMiddle = " is on a drive that is not mounted now (";
// In place of the closing message when the flush at the end failed: "The
// backup failed: N files could not be written to disk under 'D'".
inline constexpr const char* kNotWrittenText = "The backup failed: ";
inline constexpr const char* kNotWrittenFile = " file could not be written to disk under ";
inline constexpr const char* kNotWrittenFiles = " files could not be written to disk under ";
// "The backup-list entry 'E' is left out by the rule 'R'"
inline constexpr const char* kLeftOutEntryText = "The backup-list entry ";
inline constexpr const char* kLeftOutEntryMiddle = " is left out by the rule ";
}  // namespace text

}  // namespace tandrel
