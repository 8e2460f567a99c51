#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "storage/wide_line.h"

namespace zelpin {

// Raised for bytes that are not strict UTF-8, and for units that would not read back as written.
class ConversionError : public std::runtime_error {
 public:
  ConversionError() : std::runtime_error("bad conversion") {}
  // The same failure, told in a line that names where it happened.
  explicit ConversionError(const std::string& line) : std::runtime_error(line) {}
};

// Strict UTF-8 to UTF-16. Overlong forms, encoded high surrogates, values above 10FFFF and cut-off
// sequences fail; an encoded low surrogate gives the lone unit, because encodeLine writes one so.
WideLine decodeUtf8(std::string_view bytes);

// decodeUtf8 of one menu line, dropping a byte-order mark at its start.
WideLine decodeLine(std::string_view bytes);

// UTF-16 to UTF-8. A high surrogate without a low one after it fails. The mark is written only in
// front of a non-empty line.
std::string encodeLine(std::u16string_view line, bool withByteOrderMark);

// A name or message for a line of text on stderr: encodeLine where it can, "?" where it cannot.
std::string shownText(std::u16string_view text);

// A name for a message, in quotes, after what comes before it.
std::string quoted(std::u16string_view name, std::string_view before = {});

// The number of bytes encodeLine gives for line without the mark; fails where encodeLine fails.
std::size_t encodedLength(std::u16string_view line);

// encodeLine, appending to out; out is unchanged when it fails.
void appendEncodedLine(std::string& out, std::u16string_view line, bool withByteOrderMark);

}  // namespace zelpin
