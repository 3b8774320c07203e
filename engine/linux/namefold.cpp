// Names folded as the file systems of Windows' kind compare them (exFAT, FAT,
// NTFS, the shares): letter by letter through a case table, never a letter
// into two. ICU holds the tables.
#include "engine/linux/namefold.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace tandrel {

namespace {

std::string AsciiFolded(std::string_view name)
{
    std::string key(name);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

}  // namespace

// Simple case folding maps each letter to one letter: É to é, Ä to ä, Σ and
// the final ς to σ, the capital ẞ to ß. It does not turn ß into "ss" (full
// folding does; the case tables of FAT, exFAT and NTFS never do), so
// "Straße" and "Strasse" stay two names. Where a file system keeps ß and ẞ
// apart, one of two such twins fails without need; no file is lost.
std::string FoldedName(std::string_view name, bool oneForm)
{
    if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return AsciiFolded(name);
    const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
    const auto length = static_cast<int32_t>(name.size());
    icu::UnicodeString text;
    for (int32_t at = 0; at < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, at, length, c);
        if (c < 0) return AsciiFolded(name);  // not UTF-8: no letter of it can be told
        text.append(c);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* decompose = oneForm ? icu::Normalizer2::getNFDInstance(status) : nullptr;
    // Decomposed before folding, so that the letter under an accent folds,
    // and after, since a folded letter may decompose further.
    const auto decomposed = [&](icu::UnicodeString& form) {
        if (!decompose || U_FAILURE(status)) return;
        icu::UnicodeString result = decompose->normalize(form, status);
        if (U_SUCCESS(status)) form = result;
    };
    decomposed(text);
    icu::UnicodeString folded;
    for (int32_t at = 0; at < text.length(); at = text.moveIndex32(at, 1))
        folded.append(u_foldCase(text.char32At(at), U_FOLD_CASE_DEFAULT));
    decomposed(folded);
    std::string key;
    folded.toUTF8String(key);
    return key;
}

}  // namespace tandrel
