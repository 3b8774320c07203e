// Leaving things out of a backup: rules in the syntax of .gitignore, from
// the user's rules file, the command line and the .tandrelignore files of the
// source folders, and folders tagged as caches (CACHEDIR.TAG). The gathering
// applies them, so every count, the progress and every mode agree; a folder
// left out is never walked (a tagged cache is known by its own listing, and
// goes no further).
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "engine/paths.h"

namespace tandrel {

class FileSystem;
class Settings;

// One line of a rules text, compiled.
//   name      a bare name (no "/" but a final one) matches at any depth;
//   /a/b      a "/" at the start or inside anchors the rule to its base (the
//             backup-list entry, or the folder of the .tandrelignore);
//   name/     a final "/" matches folders only;
//   **        spans folders ("**/x", "a/**", "a/**/b"); * ? [..] within a name;
//   !rule     takes back what an earlier rule left out; # a comment.
class ExclusionRule {
public:
    // False for a blank line or a comment, which make no rule.
    static bool Parse(std::string_view line, ExclusionRule& rule);

    // Whether the rule matches `path` (the names from its base down; the
    // last is the one tested), a folder or not.
    bool Matches(std::span<const std::string_view> path, bool folder, bool foldCase) const;

    const std::string& Text() const { return text_; }
    bool Negated() const { return negated_; }
    bool Anchored() const { return anchored_; }
    bool FoldersOnly() const { return foldersOnly_; }
    // The characters a name it matches may end with (all of them where the
    // pattern ends in a wildcard).
    std::bitset<256> LastCharacters(bool foldCase) const;

private:
    enum class Shape { Literal, Suffix, Prefix, Glob };
    bool MatchesName(std::string_view name, bool foldCase) const;

    std::string text_;                   // the line as written, for the summary
    std::vector<std::string> segments_;  // the pattern, one per name ("**" spans)
    Shape shape_ = Shape::Glob;          // of a bare name: how cheaply it is matched
    std::string fixed_;                  // the literal part of Literal, Suffix and Prefix
    bool negated_ = false;
    bool anchored_ = false;
    bool foldersOnly_ = false;
};

// The rules of one text (a file or the command line), in their order: the
// last one that matches decides.
class ExclusionRules {
public:
    static ExclusionRules Parse(std::string_view text, bool foldCase);
    void Add(ExclusionRule rule, bool foldCase);
    bool Empty() const { return rules_.empty(); }
    const std::vector<ExclusionRule>& Rules() const { return rules_; }
    // Whether any rule may match a name that ends with `last`: most names
    // meet no rule at all, and this tells them apart at once.
    bool MayMatch(unsigned char last, bool folder) const { return (folder ? folderEnds_ : fileEnds_)[last]; }

private:
    std::vector<ExclusionRule> rules_;
    std::bitset<256> fileEnds_, folderEnds_;
};

// What the rules of a backup are made of, before compiling.
class Exclusions {
public:
    // Names compare as the source file system does: without case on
    // Windows, with case elsewhere.
    explicit Exclusions(PathStyle style = PathStyle::Native());

    // The user's own rules (lowest precedence), and those given on the
    // command line (above the .tandrelignore files).
    void AddUserRules(std::string_view text);
    void AddCommandLineRules(std::string_view text);
    // A folder left out wherever it lies under an entry, named `label` in
    // the summary (its absolute path, as the style writes it).
    void LeaveOutFolder(std::string path, std::string label);
    // Whether folders holding a valid CACHEDIR.TAG are left out (default).
    bool taggedCaches = true;

    PathStyle Style() const { return style_; }
    bool FoldCase() const { return foldCase_; }
    const ExclusionRules& UserRules() const { return user_; }
    const ExclusionRules& CommandLineRules() const { return commandLine_; }
    struct Folder {
        std::string path, label;
    };
    const std::vector<Folder>& Folders() const { return folders_; }
    // Whether these leave anything out at all.
    bool Any() const;
    // Whether two names are the same one, by the case rules of the style.
    bool SameName(std::string_view a, std::string_view b) const;
    // The folder left out that is `path` (a folder found in a walk), or
    // that is or holds `path` (a backup-list entry); null for none.
    const Folder* FolderAt(std::string_view path) const;
    const Folder* FolderHolding(std::string_view path) const;

private:
    PathStyle style_;
    bool foldCase_;
    ExclusionRules user_;
    ExclusionRules commandLine_;
    std::vector<Folder> folders_;
};

// The rules in effect in one folder of a walk: the entry's rules and the
// .tandrelignore files from the entry down to the folder. Shared by the
// folders below it that add no file of their own.
class ExclusionScope {
public:
    // The scope of a backup-list entry's own folder.
    static std::shared_ptr<const ExclusionScope> ForEntry(std::shared_ptr<const Exclusions> exclusions);
    // The rule that leaves out the entry named `name` itself: only rules
    // that hold at any depth (an entry is not below its own base).
    const ExclusionRule* EntryLeftOutBy(std::string_view name, bool folder) const;
    // This folder with its own .tandrelignore (`text`) in effect.
    std::shared_ptr<const ExclusionScope> WithIgnoreFile(std::string_view text) const;
    // The scope of the sub-folder `name`.
    std::shared_ptr<const ExclusionScope> Child(std::string_view name) const;
    // The rule that leaves out `name` in this folder (null: it stays).
    const ExclusionRule* LeftOutBy(std::string_view name, bool folder) const;
    const Exclusions& Of() const { return *exclusions_; }

private:
    struct Layer {
        ExclusionRules rules;
        std::size_t base;  // how many names of the path lie above the file's folder
    };
    const ExclusionRule* Decide(std::span<const std::string_view> path, bool folder, bool anyDepthOnly) const;

    std::shared_ptr<const Exclusions> exclusions_;
    std::vector<std::string> names_;                         // the folder's path below the entry
    std::shared_ptr<const std::vector<Layer>> ignoreFiles_;  // outermost first
};

inline constexpr const char* kIgnoreFileName = ".tandrelignore";
inline constexpr const char* kCacheTagName = "CACHEDIR.TAG";
inline constexpr std::string_view kCacheTagSignature = "Signature: 8a477f597d28d172789f06886806bc55";

// The choices of the window's "Exclusions" dialog: kept as options in the
// settings file, and the user's own rules in the rules file beside it.
struct ExclusionChoices {
    bool taggedCaches = true;
    bool trash = false;
    bool homeCache = false;
    bool nodeModules = false;
    std::string ownRules;

    static std::string DefaultRulesFile();
    static ExclusionChoices Load(const Settings& settings, const std::string& rulesFile);
    // Never fails: a file that can't be written loses the change.
    void Save(Settings& settings, const std::string& rulesFile) const;
    // The rules these choices stand for, for the user's home folder as the
    // environment names it.
    Exclusions ToExclusions(PathStyle style = PathStyle::Native()) const;
};

// A rules file's text; an FsError with the platform's reason and the path
// when it can't be read.
std::string ReadRulesFile(const std::string& file);

// One thing the gathering left out: a file or a whole folder, and the rule.
struct LeftOutItem {
    std::string path;
    bool folder = false;
    std::string rule;
};

// What was left out, counted: files (those inside left-out folders too) and
// their bytes, and the files per rule, most first.
struct LeftOutTotals {
    std::int64_t files = 0;
    std::uint64_t bytes = 0;
    std::vector<std::pair<std::string, std::int64_t>> byRule;
};
// Counts the files below each left-out folder (which the gathering never
// walked); what can't be read counts as nothing.
LeftOutTotals TallyLeftOut(FileSystem& fs, const std::vector<LeftOutItem>& items, PathStyle style);

// "Left out: 1,204 files (3.1 GB): node_modules/ (1,180), *.tmp (24)"
std::string LeftOutLine(const LeftOutTotals& totals);
// "1,204 files (3.1 GB) would be left out of the current backup list"
std::string LeftOutPreview(const LeftOutTotals& totals);
// "1,204"; "3.1 GB"
std::string GroupedNumber(std::int64_t n);
std::string ByteSize(std::uint64_t bytes);

}  // namespace tandrel
