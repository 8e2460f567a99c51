#include "storage/conversion.h"

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

void appendUnits(WideLine& out, char32_t value) {
  if (value < 0x10000) {
    out.push_back(static_cast<char16_t>(value));
    return;
  }
  value -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
}

void appendUtf8(std::string& out, char32_t value) {
  if (value < 0x80) {
    out.push_back(static_cast<char>(value));
  } else if (value < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (value >> 6)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (value >> 12)));
    out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (value >> 18)));
    out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  }
}

}  // namespace

WideLine decodeUtf8(std::string_view bytes) {
  WideLine line;
  line.reserve(bytes.size());
  std::size_t position = 0;
  while (position < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[position]);
    if (byte < 0x80) {
      line.push_back(byte);
      ++position;
    } else {
      appendUnits(line, decodeMultiByte(bytes, position));
    }
  }
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
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char32_t unit = line[i];
    if (!isHighSurrogate(unit)) {
      appendUtf8(out, unit);
    } else if (i + 1 < line.size() && isLowSurrogate(line[i + 1])) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (line[i + 1] - 0xDC00));
      ++i;
    } else {
      out.resize(start);
      throw ConversionError();
    }
  }
}

std::string encodeLine(std::u16string_view line, bool withByteOrderMark) {
  std::string bytes;
  appendEncodedLine(bytes, line, withByteOrderMark);
  return bytes;
}

}  // namespace zelpin
