#include "engine/exclusions.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "engine/filesystem.h"
#include "engine/settings.h"
#include "support/quoted.h"

namespace tandrel {

namespace {

char Folded(char c, bool foldCase)
{
    return foldCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b, bool foldCase)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Folded(a[i], foldCase) != Folded(b[i], foldCase)) return false;
    return true;
}

bool HasWildcard(std::string_view text)
{
    return text.find_first_of("*?[\\") != std::string_view::npos;
}

// `[...]` at pattern[p] (just after '['): whether `c` is in the class, and
// where the class ends; npos for a '[' that opens no class.
std::size_t MatchClass(std::string_view pattern, std::size_t p, char c, bool foldCase, bool& in)
{
    bool negate = false;
    if (p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^')) {
        negate = true;
        ++p;
    }
    in = false;
    const char folded = Folded(c, foldCase);
    bool first = true;
    while (p < pattern.size() && (first || pattern[p] != ']')) {
        first = false;
        char low = pattern[p];
        if (low == '\\' && p + 1 < pattern.size()) low = pattern[++p];
        char high = low;
        if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
            high = pattern[p + 2];
            if (high == '\\' && p + 3 < pattern.size()) high = pattern[++p + 2];
            p += 2;
        }
        if ((folded >= Folded(low, foldCase) && folded <= Folded(high, foldCase)) || (c >= low && c <= high)) in = true;
        ++p;
    }
    if (p >= pattern.size()) return std::string_view::npos;
    in = in != negate;
    return p + 1;
}

// One name against one name's pattern: * ? [..] and \ escapes.
bool GlobName(std::string_view pattern, std::string_view name, bool foldCase)
{
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size()) {
            const char pc = pattern[p];
            if (pc == '*') {
                starP = ++p;
                starN = n;
                continue;
            }
            if (pc == '?') {
                ++p;
                ++n;
                continue;
            }
            if (pc == '[') {
                bool in = false;
                const std::size_t end = MatchClass(pattern, p + 1, name[n], foldCase, in);
                if (end != std::string_view::npos) {
                    if (in) {
                        p = end;
                        ++n;
                        continue;
                    }
                } else if (name[n] == '[') {
                    ++p;
                    ++n;
                    continue;
                }
            } else {
                const char literal = pc == '\\' && p + 1 < pattern.size() ? pattern[p + 1] : pc;
                if (Folded(literal, foldCase) == Folded(name[n], foldCase)) {
                    p += pc == '\\' && p + 1 < pattern.size() ? 2 : 1;
                    ++n;
                    continue;
                }
            }
        }
        if (starP == std::string_view::npos) return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// Pattern names against path names; "**" spans none or more names, but a
// final "**" at least one (a/** is what lies inside a, not a itself).
bool GlobPath(std::span<const std::string> pattern, std::span<const std::string_view> path, bool foldCase)
{
    if (pattern.empty()) return path.empty();
    if (pattern.front() == "**") {
        if (pattern.size() == 1) return !path.empty();
        for (std::size_t skip = 0; skip <= path.size(); ++skip)
            if (GlobPath(pattern.subspan(1), path.subspan(skip), foldCase)) return true;
        return false;
    }
    if (path.empty() || !GlobName(pattern.front(), path.front(), foldCase)) return false;
    return GlobPath(pattern.subspan(1), path.subspan(1), foldCase);
}

std::string_view Trimmed(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Spaces at the end go, but one escaped with a backslash.
    while (!line.empty() && line.back() == ' ' && !(line.size() >= 2 && line[line.size() - 2] == '\\'))
        line.remove_suffix(1);
    return line;
}

std::filesystem::path PathOf(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

constexpr const char* kTaggedCachesKey = "exclude-tagged-caches";
constexpr const char* kTrashKey = "exclude-trash";
constexpr const char* kHomeCacheKey = "exclude-home-cache";
constexpr const char* kNodeModulesKey = "exclude-node-modules";

}  // namespace

bool ExclusionRule::Parse(std::string_view line, ExclusionRule& rule)
{
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') return false;
    rule = ExclusionRule();
    rule.text_ = std::string(line);
    if (line.front() == '!') {
        rule.negated_ = true;
        line.remove_prefix(1);
    } else if (line.front() == '\\' && line.size() > 1 && (line[1] == '!' || line[1] == '#')) {
        line.remove_prefix(1);
    }
    if (!line.empty() && line.back() == '/') {
        rule.foldersOnly_ = true;
        while (!line.empty() && line.back() == '/') line.remove_suffix(1);
    }
    if (line.empty()) return false;
    // A "/" at the start or inside anchors the rule; "**/" in front spans
    // every depth, which is what a bare name does.
    rule.anchored_ = line.find('/') != std::string_view::npos;
    if (line.front() == '/') line.remove_prefix(1);
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t slash = std::min(line.find('/', start), line.size());
        if (slash > start) rule.segments_.emplace_back(line.substr(start, slash - start));
        start = slash + 1;
    }
    if (rule.segments_.empty()) return false;
    if (rule.segments_.size() == 2 && rule.segments_.front() == "**" && rule.segments_.back() != "**") {
        rule.segments_.erase(rule.segments_.begin());
        rule.anchored_ = false;
    }
    if (rule.segments_.size() == 1 && rule.segments_.front() == "**") rule.anchored_ = true;
    if (!rule.anchored_) {
        const std::string& name = rule.segments_.front();
        if (!HasWildcard(name)) {
            rule.shape_ = Shape::Literal;
            rule.fixed_ = name;
        } else if (name.size() > 1 && name.front() == '*' && !HasWildcard(std::string_view(name).substr(1))) {
            rule.shape_ = Shape::Suffix;
            rule.fixed_ = name.substr(1);
        } else if (name.size() > 1 && name.back() == '*' &&
                   !HasWildcard(std::string_view(name).substr(0, name.size() - 1))) {
            rule.shape_ = Shape::Prefix;
            rule.fixed_ = name.substr(0, name.size() - 1);
        }
    }
    return true;
}

bool ExclusionRule::MatchesName(std::string_view name, bool foldCase) const
{
    switch (shape_) {
    case Shape::Literal:
        return SameText(name, fixed_, foldCase);
    case Shape::Suffix:
        return name.size() >= fixed_.size() && SameText(name.substr(name.size() - fixed_.size()), fixed_, foldCase);
    case Shape::Prefix:
        return name.size() >= fixed_.size() && SameText(name.substr(0, fixed_.size()), fixed_, foldCase);
    case Shape::Glob:
        break;
    }
    return GlobName(segments_.front(), name, foldCase);
}

bool ExclusionRule::Matches(std::span<const std::string_view> path, bool folder, bool foldCase) const
{
    if (path.empty() || (foldersOnly_ && !folder)) return false;
    if (!anchored_) return MatchesName(path.back(), foldCase);
    return GlobPath(segments_, path, foldCase);
}

std::bitset<256> ExclusionRule::LastCharacters(bool foldCase) const
{
    std::bitset<256> ends;
    auto add = [&](unsigned char c) {
        ends.set(c);
        if (foldCase && c >= 'a' && c <= 'z') ends.set(c - 'a' + 'A');
        if (foldCase && c >= 'A' && c <= 'Z') ends.set(c - 'A' + 'a');
    };
    const std::string& last = segments_.back();
    const char end = last.back();
    if (last == "**" || end == '*' || end == '?' || end == '\\' || (last.size() >= 2 && last[last.size() - 2] == '\\'))
        return ends.set();
    if (end != ']') {
        add(static_cast<unsigned char>(end));
        return ends;
    }
    // A final class: its characters and ranges; anything harder, all.
    const std::size_t open = last.rfind('[');
    if (open == std::string::npos) {
        add(']');
        return ends;
    }
    const std::string_view inside = std::string_view(last).substr(open + 1, last.size() - open - 2);
    if (inside.empty() || inside.front() == '!' || inside.front() == '^' ||
        inside.find_first_of("[\\") != std::string_view::npos)
        return ends.set();
    for (std::size_t i = 0; i < inside.size(); ++i) {
        if (i + 2 < inside.size() && inside[i + 1] == '-') {
            for (int c = static_cast<unsigned char>(inside[i]); c <= static_cast<unsigned char>(inside[i + 2]); ++c)
                add(static_cast<unsigned char>(c));
            i += 2;
        } else {
            add(static_cast<unsigned char>(inside[i]));
        }
    }
    return ends;
}

void ExclusionRules::Add(ExclusionRule rule, bool foldCase)
{
    const std::bitset<256> ends = rule.LastCharacters(foldCase);
    folderEnds_ |= ends;
    if (!rule.FoldersOnly()) fileEnds_ |= ends;
    rules_.push_back(std::move(rule));
}

ExclusionRules ExclusionRules::Parse(std::string_view text, bool foldCase)
{
    ExclusionRules parsed;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        ExclusionRule rule;
        if (ExclusionRule::Parse(text.substr(start, end - start), rule)) parsed.Add(std::move(rule), foldCase);
        start = end + 1;
    }
    return parsed;
}

Exclusions::Exclusions(PathStyle style) : style_(style), foldCase_(style.separator == '\\') {}

void Exclusions::AddUserRules(std::string_view text)
{
    const ExclusionRules parsed = ExclusionRules::Parse(text, foldCase_);
    for (const ExclusionRule& rule : parsed.Rules()) user_.Add(rule, foldCase_);
}

void Exclusions::AddCommandLineRules(std::string_view text)
{
    const ExclusionRules parsed = ExclusionRules::Parse(text, foldCase_);
    for (const ExclusionRule& rule : parsed.Rules()) commandLine_.Add(rule, foldCase_);
}

void Exclusions::LeaveOutFolder(std::string path, std::string label)
{
    if (!path.empty() && !IsRoot(path, style_)) path = WithoutFinalSeparator(path, style_);
    if (!path.empty()) folders_.push_back({std::move(path), std::move(label)});
}

bool Exclusions::Any() const
{
    return taggedCaches || !user_.Empty() || !commandLine_.Empty() || !folders_.empty();
}

bool Exclusions::SameName(std::string_view a, std::string_view b) const
{
    return SameText(a, b, foldCase_);
}

const Exclusions::Folder* Exclusions::FolderAt(std::string_view path) const
{
    for (const Folder& folder : folders_)
        if (SameText(folder.path, path, foldCase_)) return &folder;
    return nullptr;
}

const Exclusions::Folder* Exclusions::FolderHolding(std::string_view path) const
{
    for (const Folder& folder : folders_) {
        const std::size_t size = folder.path.size();
        if (path.size() < size || !SameText(folder.path, path.substr(0, size), foldCase_)) continue;
        if (path.size() == size || path[size] == style_.separator || folder.path.back() == style_.separator)
            return &folder;
    }
    return nullptr;
}

std::shared_ptr<const ExclusionScope> ExclusionScope::ForEntry(std::shared_ptr<const Exclusions> exclusions)
{
    auto scope = std::make_shared<ExclusionScope>();
    scope->exclusions_ = std::move(exclusions);
    scope->ignoreFiles_ = std::make_shared<const std::vector<Layer>>();
    return scope;
}

std::shared_ptr<const ExclusionScope> ExclusionScope::WithIgnoreFile(std::string_view text) const
{
    auto scope = std::make_shared<ExclusionScope>(*this);
    auto layers = std::make_shared<std::vector<Layer>>(*ignoreFiles_);
    layers->push_back({ExclusionRules::Parse(text, exclusions_->FoldCase()), names_.size()});
    scope->ignoreFiles_ = std::move(layers);
    return scope;
}

std::shared_ptr<const ExclusionScope> ExclusionScope::Child(std::string_view name) const
{
    auto scope = std::make_shared<ExclusionScope>(*this);
    scope->names_.emplace_back(name);
    return scope;
}

const ExclusionRule* ExclusionScope::Decide(std::span<const std::string_view> path, bool folder,
                                            bool anyDepthOnly) const
{
    const bool fold = exclusions_->FoldCase();
    // Of the layers, the command line is strongest, then the .tandrelignore
    // files from the innermost out, then the user's own rules; within a
    // layer the last rule that matches decides.
    const std::string_view name = path.back();
    const unsigned char last = name.empty() ? 0 : static_cast<unsigned char>(name.back());
    auto decide = [&](const ExclusionRules& rules, std::size_t base, const ExclusionRule*& decided) {
        if (!rules.MayMatch(last, folder)) return false;
        for (auto it = rules.Rules().rbegin(); it != rules.Rules().rend(); ++it) {
            if (anyDepthOnly && it->Anchored()) continue;
            if (it->Matches(path.subspan(base), folder, fold)) {
                decided = it->Negated() ? nullptr : &*it;
                return true;
            }
        }
        return false;
    };
    const ExclusionRule* decided = nullptr;
    if (decide(exclusions_->CommandLineRules(), 0, decided)) return decided;
    for (auto layer = ignoreFiles_->rbegin(); layer != ignoreFiles_->rend(); ++layer)
        if (decide(layer->rules, layer->base, decided)) return decided;
    decide(exclusions_->UserRules(), 0, decided);
    return decided;
}

const ExclusionRule* ExclusionScope::EntryLeftOutBy(std::string_view name, bool folder) const
{
    const std::string_view path[] = {name};
    return Decide(path, folder, true);
}

const ExclusionRule* ExclusionScope::LeftOutBy(std::string_view name, bool folder) const
{
    // Most names meet no rule at all: told by their last character alone.
    const unsigned char last = name.empty() ? 0 : static_cast<unsigned char>(name.back());
    bool may =
        exclusions_->CommandLineRules().MayMatch(last, folder) || exclusions_->UserRules().MayMatch(last, folder);
    for (const Layer& layer : *ignoreFiles_) may = may || layer.rules.MayMatch(last, folder);
    if (!may) return nullptr;
    // Most folders are shallow: their path on the stack.
    constexpr std::size_t kShallow = 16;
    if (names_.size() < kShallow) {
        std::string_view path[kShallow];
        std::copy(names_.begin(), names_.end(), path);
        path[names_.size()] = name;
        return Decide(std::span<const std::string_view>(path, names_.size() + 1), folder, false);
    }
    std::vector<std::string_view> path(names_.begin(), names_.end());
    path.push_back(name);
    return Decide(path, folder, false);
}

std::string ExclusionChoices::DefaultRulesFile()
{
    return ConfigFile("exclusions");
}

ExclusionChoices ExclusionChoices::Load(const Settings& settings, const std::string& rulesFile)
{
    ExclusionChoices choices;
    choices.taggedCaches = settings.Flag(kTaggedCachesKey, true);
    choices.trash = settings.Flag(kTrashKey, false);
    choices.homeCache = settings.Flag(kHomeCacheKey, false);
    choices.nodeModules = settings.Flag(kNodeModulesKey, false);
    if (!rulesFile.empty()) {
        std::ifstream in(PathOf(rulesFile), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        choices.ownRules = text.str();
    }
    return choices;
}

void ExclusionChoices::Save(Settings& settings, const std::string& rulesFile) const
{
    settings.SetFlag(kTaggedCachesKey, taggedCaches);
    settings.SetFlag(kTrashKey, trash);
    settings.SetFlag(kHomeCacheKey, homeCache);
    settings.SetFlag(kNodeModulesKey, nodeModules);
    if (rulesFile.empty()) return;
    ReplaceFile(rulesFile, ownRules.empty() || ownRules.back() == '\n' ? ownRules : ownRules + '\n');
}

Exclusions ExclusionChoices::ToExclusions(PathStyle style) const
{
    Exclusions exclusions(style);
    exclusions.taggedCaches = taggedCaches;
    const bool windows = style.separator == '\\';
    const std::string home = Environment(windows ? "USERPROFILE" : "HOME");
    if (trash) {
        if (windows) {
            exclusions.AddUserRules("$Recycle.Bin/");
        } else {
            const std::string data = Environment("XDG_DATA_HOME");
            if (!data.empty() && data.front() == '/')
                exclusions.LeaveOutFolder(data + "/Trash", "Trash");
            else if (!home.empty())
                exclusions.LeaveOutFolder(home + "/.local/share/Trash", "Trash");
        }
    }
    if (homeCache && !home.empty()) {
        const std::string cache = windows ? std::string() : Environment("XDG_CACHE_HOME");
        exclusions.LeaveOutFolder(!cache.empty() && cache.front() == '/' ? cache : JoinPath(home, ".cache", style),
                                  "~/.cache");
    }
    if (nodeModules) exclusions.AddUserRules("node_modules/");
    exclusions.AddUserRules(ownRules);
    return exclusions;
}

std::string ReadRulesFile(const std::string& file)
{
    errno = 0;
    std::ifstream in(PathOf(file), std::ios::binary);
    if (!in) {
        const int code = errno ? errno : ENOENT;
        throw FsError(
            "cannot read the rules file " + support::Quoted(file) + ": " + std::generic_category().message(code),
            code == ENOENT ? FsError::Kind::Missing : FsError::Kind::Other, code, file);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

LeftOutTotals TallyLeftOut(FileSystem& fs, const std::vector<LeftOutItem>& items, PathStyle style)
{
    (void)style;
    LeftOutTotals totals;
    std::map<std::string, std::int64_t> byRule;
    for (const LeftOutItem& item : items) {
        std::int64_t& count = byRule[item.rule];
        if (!item.folder) {
            ++count;
            totals.bytes += fs.FileBytes(item.path).value_or(0);
            continue;
        }
        // The folder's tree, breadth first; a folder that can't be listed
        // counts as empty.
        std::vector<std::string> queue {item.path};
        for (std::size_t next = 0; next < queue.size(); ++next) {
            Listing listing;
            try {
                listing = fs.List(queue[next]);
            } catch (const std::exception&) {
                continue;
            }
            count += static_cast<std::int64_t>(listing.files.size());
            for (const std::string& file : listing.files) totals.bytes += fs.FileBytes(file).value_or(0);
            for (std::string& folder : listing.folders) queue.push_back(std::move(folder));
        }
    }
    for (const auto& [rule, count] : byRule) {
        totals.files += count;
        totals.byRule.emplace_back(rule, count);
    }
    std::stable_sort(totals.byRule.begin(), totals.byRule.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return totals;
}

std::string GroupedNumber(std::int64_t n)
{
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return n < 0 ? "-" + digits : digits;
}

std::string ByteSize(std::uint64_t bytes)
{
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    // One decimal: "3.1 GB"; none from a hundred up ("512 MB").
    char text[32];
    std::snprintf(text, sizeof text, value >= 99.95 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

namespace {

std::string FilesAndBytes(const LeftOutTotals& totals)
{
    return GroupedNumber(totals.files) + (totals.files == 1 ? " file (" : " files (") + ByteSize(totals.bytes) + ")";
}

}  // namespace

std::string LeftOutLine(const LeftOutTotals& totals)
{
    std::string line = "Left out: " + FilesAndBytes(totals);
    for (std::size_t i = 0; i < totals.byRule.size(); ++i)
        line += (i == 0 ? ": " : ", ") + totals.byRule[i].first + " (" + GroupedNumber(totals.byRule[i].second) + ")";
    return line;
}

std::string LeftOutPreview(const LeftOutTotals& totals)
{
    return FilesAndBytes(totals) + " would be left out of the current backup list";
}

}  // namespace tandrel
