#include "storage/conversion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace zelpin {
namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

constexpr std::uint64_t highBits = 0x8080808080808080u;  // the top bit of each of eight bytes

bool isHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

struct SequenceShape {
  int length;
  char32_t leadBits;
  char32_t smallest;  // anything below is an overlong form
};

SequenceShape shapeOf(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) {
    return {2, lead & 0x1Fu, 0x80};
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    return {3, lead & 0x0Fu, 0x800};
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return {4, lead & 0x07u, 0x10000};
  }
  // Stray continuation bytes, C0/C1 (always overlong) and F5-FF (beyond 10FFFF or old 5/6-byte).
  throw ConversionError();
}

char32_t decodeMultiByte(std::string_view bytes, std::size_t& position) {
  const SequenceShape shape = shapeOf(static_cast<unsigned char>(bytes[position]));
  if (bytes.size() - position < static_cast<std::size_t>(shape.length)) {
    throw ConversionError();
  }
  char32_t value = shape.leadBits;
  for (int i = 1; i < shape.length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[position + i]);
    if ((next & 0xC0) != 0x80) {
      throw ConversionError();
    }
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < shape.smallest || value > 0x10FFFF || isHighSurrogate(value)) {
    throw ConversionError();
  }
  position += shape.length;
  return value;
}

// A four-byte form gives two units, so the output never outgrows one unit per input byte.
char16_t* appendUnits(char16_t* out, char32_t value) {
  if (value < 0x10000) {
    *out++ = static_cast<char16_t>(value);
    return out;
  }
  value -= 0x10000;
  *out++ = static_cast<char16_t>(0xD800 + (value >> 10));
  *out++ = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
  return out;
}

// How many bytes of a word have their high bit set, for a word holding nothing but high bits
// (no popcount instruction in the baseline x86-64 set).
std::size_t countHighBits(std::uint64_t highBitsOnly) {
  return static_cast<std::size_t>(((highBitsOnly >> 7) * 0x0101010101010101u) >> 56);
}

// Every code point has one lead byte and gives one unit, two from a four-byte lead (F0 and up), so
// counting leads sizes the line exactly; any other input fails before it could overrun.
std::size_t unitsFor(std::string_view bytes) {
  std::size_t units = 0;
  std::size_t position = 0;
  for (; bytes.size() - position >= 8; position += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + position, sizeof word);
    const std::uint64_t continuations = word & ~(word << 1) & highBits;  // 10xxxxxx
    const std::uint64_t fourByteLeads = word & (word << 1) & (word << 2) & (word << 3) & highBits;
    units += 8 - countHighBits(continuations) + countHighBits(fourByteLeads);
  }
  for (; position < bytes.size(); ++position) {
    const auto byte = static_cast<unsigned char>(bytes[position]);
    units +=
        static_cast<std::size_t>((byte & 0xC0) != 0x80) + static_cast<std::size_t>(byte >= 0xF0);
  }
  return units;
}

bool hasNonAscii(const char* eightBytes) {
  std::uint64_t word;
  std::memcpy(&word, eightBytes, sizeof word);
  return (word & highBits) != 0;
}

char* appendUtf8(char* out, char32_t value) {
  if (value < 0x80) {
    *out++ = static_cast<char>(value);
  } else if (value < 0x800) {
    *out++ = static_cast<char>(0xC0 | (value >> 6));
    *out++ = static_cast<char>(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (value >> 12));
    *out++ = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (value & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (value >> 18));
    *out++ = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (value & 0x3F));
  }
  return out;
}

// No early exit: one OR a word, without a branch, is faster on lines of menu length.
bool isAscii(std::string_view bytes) {
  std::size_t position = 0;
  std::uint64_t seen = 0;
  for (; bytes.size() - position >= 8; position += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + position, sizeof word);
    seen |= word;
  }
  for (; position < bytes.size(); ++position) {
    seen |= static_cast<unsigned char>(bytes[position]);
  }
  return (seen & highBits) == 0;
}

// E1-EC and EE-EF: with any two continuation bytes after them they give a unit of 1000 or more
// that is no surrogate, so such a sequence needs no further check. The bulk of CJK text is these.
bool isPlainThreeByteLead(unsigned char lead) {
  return lead >= 0xE1 && lead <= 0xEF && lead != 0xED;
}

bool areContinuations(char first, char second) {
  return ((static_cast<unsigned char>(first) & 0xC0) == 0x80) &&
         ((static_cast<unsigned char>(second) & 0xC0) == 0x80);
}

char16_t threeByteUnit(unsigned char lead, char first, char second) {
  return static_cast<char16_t>(((lead & 0x0Fu) << 12) |
                               ((static_cast<unsigned char>(first) & 0x3Fu) << 6) |
                               (static_cast<unsigned char>(second) & 0x3Fu));
}

bool areAllAscii(std::u16string_view line) {
  char16_t seen = 0;
  for (const char16_t unit : line) {
    seen |= unit;
  }
  return seen < 0x80;
}

bool areAscii(const char16_t* fourUnits) {
  std::uint64_t word;
  std::memcpy(&word, fourUnits, sizeof word);
  return (word & 0xFF80FF80FF80FF80u) == 0;
}

std::size_t lengthWithSurrogates(std::u16string_view line) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char32_t unit = line[i];
    if (unit < 0x80) {
      length += 1;
    } else if (unit < 0x800) {
      length += 2;
    } else if (!isHighSurrogate(unit)) {
      length += 3;
    } else if (i + 1 < line.size() && isLowSurrogate(line[i + 1])) {
      length += 4;
      ++i;
    } else {
      throw ConversionError();
    }
  }
  return length;
}

// A line this long or shorter is decoded into a buffer on the stack first.
constexpr std::size_t shortLineBytes = 512;

// Writes the units of bytes to out, which has room for one unit a byte (never more is needed),
// and returns how many there are.
std::size_t decodeInto(char16_t* const out, std::string_view bytes) {
  char16_t* next = out;
  const char* in = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t position = 0;
  while (position < size) {
    // Runs of ASCII go eight bytes at a time.
    while (size - position >= 8 && !hasNonAscii(in + position)) {
      for (int i = 0; i < 8; ++i) {
        next[i] = static_cast<unsigned char>(in[position + i]);
      }
      next += 8;
      position += 8;
    }
    if (position == size) {
      break;
    }
    const auto byte = static_cast<unsigned char>(in[position]);
    if (byte < 0x80) {
      *next++ = byte;
      ++position;
    } else if (isPlainThreeByteLead(byte) && size - position >= 3 &&
               areContinuations(in[position + 1], in[position + 2])) {
      *next++ = threeByteUnit(byte, in[position + 1], in[position + 2]);
      position += 3;
    } else {
      next = appendUnits(next, decodeMultiByte(bytes, position));
    }
  }
  return static_cast<std::size_t>(next - out);
}

}  // namespace

WideLine decodeUtf8(std::string_view bytes) {
  if (isAscii(bytes)) {
    // Most lines: one unit a byte, and no zeroed buffer to fill a second time.
    return WideLine(bytes.begin(), bytes.end());
  }
  if (bytes.size() <= shortLineBytes) {
    // Decoded on the stack, then allocated once at its exact size: no counting pass, no zeroing.
    std::array<char16_t, shortLineBytes> units;
    return WideLine(units.data(), decodeInto(units.data(), bytes));
  }
  WideLine line(unitsFor(bytes), u'\0');
  line.resize(decodeInto(line.data(), bytes));
  return line;
}

WideLine decodeLine(std::string_view bytes) {
  if (bytes.starts_with(byteOrderMark)) {
    bytes.remove_prefix(byteOrderMark.size());
  }
  return decodeUtf8(bytes);
}

void appendEncodedLine(std::string& out, std::u16string_view line, bool withByteOrderMark) {
  const std::size_t start = out.size();
  if (withByteOrderMark && !line.empty()) {
    out.append(byteOrderMark);
  }
  const std::size_t written = out.size();
  if (areAllAscii(line)) {
    out.resize(written + line.size());
    std::copy(line.begin(), line.end(), out.begin() + static_cast<std::ptrdiff_t>(written));
    return;
  }
  // Room for the longest form (three bytes a unit; a pair takes four for its two), cut afterwards.
  out.resize(written + 3 * line.size());
  char* const begin = out.data() + written;
  char* next = begin;
  for (std::size_t i = 0; i < line.size(); ++i) {
    // ASCII runs go four units at a time.
    while (line.size() - i >= 4 && areAscii(line.data() + i)) {
      for (int k = 0; k < 4; ++k) {
        next[k] = static_cast<char>(line[i + k]);
      }
      next += 4;
      i += 4;
    }
    if (i == line.size()) {
      break;
    }
    const char32_t unit = line[i];
    if (unit < 0x80) {
      *next++ = static_cast<char>(unit);
    } else if (!isHighSurrogate(unit)) {
      next = appendUtf8(next, unit);
    } else if (i + 1 < line.size() && isLowSurrogate(line[i + 1])) {
      next = appendUtf8(next, 0x10000 + ((unit - 0xD800) << 10) + (line[i + 1] - 0xDC00));
      ++i;
    } else {
      out.resize(start);
      throw ConversionError();
    }
  }
  out.resize(written + static_cast<std::size_t>(next - begin));
}

std::size_t encodedLength(std::u16string_view line) {
  // One byte a unit, one more from 80 and another from 800: exact unless there are surrogates.
  std::size_t length = line.size();
  std::size_t surrogates = 0;
  for (const char16_t unit : line) {
    length += static_cast<std::size_t>(unit >= 0x80) + static_cast<std::size_t>(unit >= 0x800);
    surrogates += static_cast<std::size_t>((unit & 0xF800) == 0xD800);
  }
  return surrogates != 0 ? lengthWithSurrogates(line) : length;
}

std::string encodeLine(std::u16string_view line, bool withByteOrderMark) {
  std::string bytes;
  appendEncodedLine(bytes, line, withByteOrderMark);
  return bytes;
}

std::string shownText(std::u16string_view text) {
  std::string bytes;
  try {
    bytes = encodeLine(text, false);
  } catch (const ConversionError&) {
    return "?";
  }
  // A control character of a name (a line break above all) would break the message's one line.
  const auto isControl = [](unsigned char byte) { return byte < 0x20 || byte == 0x7F; };
  if (std::none_of(bytes.begin(), bytes.end(), isControl)) {
    return bytes;
  }
  std::string shown;
  for (const unsigned char byte : bytes) {
    if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (isControl(byte)) {
      shown += "\\x";
      shown += "0123456789abcdef"[byte >> 4];
      shown += "0123456789abcdef"[byte & 15];
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

// Built by appending: g++ 12 warns falsely on "literal" + a temporary string when it optimises.
std::string quoted(std::u16string_view name, std::string_view before) {
  std::string text(before);
  text += '\'';
  text += shownText(name);
  text += '\'';
  return text;
}

}  // namespace zelpin
