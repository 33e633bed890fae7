#pragma once
// Text helpers shared by every program: the general date text, the number text,
// ties-to-even rounding, conversions and CR LF lines. Files are read and
// written through platform/FileAccess.h.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// General date text of a local time: short date, a blank, long time
// ("MM/DD/YYYY HH:MM:SS" in the C locale). At exactly midnight the time part is
// left out.
std::string GeneralDateText(std::time_t when);
std::string GeneralDateTextNow();

// Local time stamp of 14 digits, YYYYMMDDhhmmss.
std::string TimeStamp14(std::time_t when);

// Default text form of a double: up to 15 significant digits, no grouping, no
// trailing zeros, no separator for whole values, exponent form ("1E+15") for
// very large or very small values.
std::string NumberText(double value);

// Rounds to a whole number, ties going to the even neighbour (2.5 -> 2, 3.5 -> 4).
double RoundHalfEven(double value);

// Upper case of the ASCII letters; other bytes unchanged.
std::string ToUpper(std::string_view text);
// Removes leading and trailing blanks (spaces only).
std::string_view TrimBlanks(std::string_view text);
// Splits at every occurrence of sep; always returns at least one piece.
std::vector<std::string> SplitText(std::string_view text, std::string_view sep);
// Replaces every occurrence of from (non-empty) by to.
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);
bool Contains(std::string_view text, std::string_view part);
// Replaces every occurrence of each non-empty secret, ignoring ASCII letter
// case, by "***" (overlapping or adjacent occurrences make one "***"). A text
// with more than 64 secrets, or too large to mask in bounded time, is "***".
std::string HideSecrets(std::string_view text, std::vector<std::string> secrets);

// Appends one byte of single-byte (Latin-1) text as UTF-8: bytes below 128 as
// they are, the others as the two bytes of the same code point.
void AppendAsUtf8(std::string& out, char byte);

// Boolean conversion of a text: "true"/"false" in any letter case, or a number
// (zero is false, any other number true); blanks around are ignored. Nothing for
// any other text.
std::optional<bool> ToBoolean(std::string_view text);
// A plain decimal number (sign, digits, point, exponent; blanks around ignored).
// Nothing for any other text, hexadecimal, infinities and NaN included.
std::optional<double> ParseDecimal(std::string_view text);
// Whole-number conversion of a decimal text (blanks around ignored; a fraction is
// rounded ties to even). Nothing when the text is not a number or out of range.
std::optional<int32_t> ToInt32(std::string_view text);

// Joins lines with CR LF between them; with final_line_end, one more CR LF after
// the last.
std::string JoinCrLf(const std::vector<std::string>& lines, bool final_line_end);

// Every piece of the text that a separator ends, each followed by CR LF; the
// text after the last separator is dropped ("a#b#c" with '#' gives "a\r\nb\r\n").
std::string EndedPiecesCrLf(std::string_view text, char separator);

}  // namespace common
