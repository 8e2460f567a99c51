#include "case_file.h"

#include <fstream>
#include <map>
#include <stdexcept>

namespace zelpin_test {
namespace {

const std::map<std::string, std::string> namedEscapes = {
    {"BOM", "\xEF\xBB\xBF"}, {"TAB", "\t"}, {"CR", "\r"}, {"LF", "\n"}, {"SP", " "}};

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t blank = text.find(' ', start);
    const std::size_t end = blank == std::string::npos ? text.size() : blank;
    if (end > start) {
      words.push_back(decodeEscapes(text.substr(start, end - start)));
    }
    start = end + 1;
  }
  return words;
}

void appendTo(std::optional<std::string>& target, const std::string& bytes) {
  target = target.value_or("") + bytes;
}

// Applies one "key: value" line of a case.
void applyLine(EndToEndCase& current, const std::string& key, const std::string& value) {
  if (key == "args") {
    current.runs.push_back(splitWords(value));
  } else if (key == "arg") {
    if (current.runs.empty()) {
      current.runs.emplace_back();
    }
    current.runs.back().push_back(decodeEscapes(value));
  } else if (key == "file") {
    current.menuName = decodeEscapes(value);
  } else if (key == "in") {
    appendTo(current.input, decodeEscapes(value) + "\n");
  } else if (key == "in-raw") {
    appendTo(current.input, decodeEscapes(value));
  } else if (key == "out") {
    appendTo(current.expected, decodeEscapes(value) + "\r\n");
  } else if (key == "out-raw") {
    appendTo(current.expected, decodeEscapes(value));
  } else if (key == "out-same") {
    current.expected = current.input;
  } else if (key == "status") {
    current.exitStatus = std::stoi(value);
  } else if (key == "stderr") {
    current.errorOutput = current.errorOutput.value_or("") + decodeEscapes(value) + "\n";
  } else if (key == "posix-only") {
    current.posixOnly = true;
  } else {
    throw std::runtime_error("unknown key '" + key + "'");
  }
}

}  // namespace

std::string decodeEscapes(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
    if (close == std::string::npos) {
      bytes.push_back(text[i]);
      continue;
    }
    const std::string inner = text.substr(i + 1, close - i - 1);
    if (const auto named = namedEscapes.find(inner); named != namedEscapes.end()) {
      bytes.append(named->second);
    } else if (inner.size() == 2) {
      bytes.push_back(static_cast<char>(std::stoi(inner, nullptr, 16)));
    } else {
      throw std::runtime_error("bad escape {" + inner + "}");
    }
    i = close;
  }
  return bytes;
}

std::vector<EndToEndCase> readCaseFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  std::vector<EndToEndCase> cases;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty() || text.starts_with('#')) {
      continue;
    }
    const std::size_t colon = text.find(':');
    const std::string key = text.substr(0, colon);
    const std::string value = colon == std::string::npos
                                  ? ""
                                  : text.substr(text.size() > colon + 1 ? colon + 2 : colon + 1);
    try {
      if (key == "case") {
        cases.emplace_back();
        cases.back().name = value;
        cases.back().line = number;
      } else if (cases.empty()) {
        throw std::runtime_error("a line before the first case");
      } else {
        applyLine(cases.back(), key, value);
      }
    } catch (const std::exception& mistake) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": " + mistake.what());
    }
  }
  return cases;
}

}  // namespace zelpin_test
