#include "storage/conversion.h"

#include <cstdint>
#include <cstring>

namespace zelpin {
namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

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

// Every code point has one lead byte and gives one unit, two from a four-byte lead (F0 and up), so
// counting leads sizes the line exactly; any other input fails before it could overrun.
std::size_t unitsFor(std::string_view bytes) {
  std::size_t units = 0;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    units +=
        static_cast<std::size_t>((byte & 0xC0) != 0x80) + static_cast<std::size_t>(byte >= 0xF0);
  }
  return units;
}

bool hasNonAscii(const char* eightBytes) {
  std::uint64_t word;
  std::memcpy(&word, eightBytes, sizeof word);
  return (word & 0x8080808080808080u) != 0;
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

bool areAscii(const char16_t* fourUnits) {
  std::uint64_t word;
  std::memcpy(&word, fourUnits, sizeof word);
  return (word & 0xFF80FF80FF80FF80u) == 0;
}

}  // namespace

WideLine decodeUtf8(std::string_view bytes) {
  WideLine line(unitsFor(bytes), u'\0');
  char16_t* out = line.data();
  const char* in = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t position = 0;
  while (position < size) {
    // Most menu text is ASCII: copy runs of it eight bytes at a time.
    while (size - position >= 8 && !hasNonAscii(in + position)) {
      for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(in[position + i]);
      }
      out += 8;
      position += 8;
    }
    if (position == size) {
      break;
    }
    const auto byte = static_cast<unsigned char>(in[position]);
    if (byte < 0x80) {
      *out++ = byte;
      ++position;
    } else {
      out = appendUnits(out, decodeMultiByte(bytes, position));
    }
  }
  line.resize(static_cast<std::size_t>(out - line.data()));
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
  // Room for the longest form (three bytes a unit; a pair takes four for its two), cut afterwards.
  const std::size_t written = out.size();
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

std::string encodeLine(std::u16string_view line, bool withByteOrderMark) {
  std::string bytes;
  appendEncodedLine(bytes, line, withByteOrderMark);
  return bytes;
}

}  // namespace zelpin
