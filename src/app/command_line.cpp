#include "app/command_line.h"

#include <algorithm>

#include "app/text_steps.h"
#include "menu/char_classes.h"

namespace zelpin {
namespace {

// What one parse needs besides the options it fills.
struct ParseState {
  std::u16string_view folder;
  WideLine label;
  int tailCount = 0;
  bool appendTail = false;
  bool noPrefix = false;
  int positionalCount = 0;
};

void addKeyRange(Options& options, KeyClassMask keyClass, KeyRangeCode code) {
  options.keys.keyClassMask |= keyClass;
  // Only the last ten codes and two bits of an eleventh fit; the rest are shifted out.
  options.keys.keySequence = (options.keys.keySequence << 3) | code;
}

void applyOptionLetter(char16_t letter, Options& options, ParseState& state) {
  switch (letter) {
    case u'd':
      options.editMode = EditMode::Delete;
      break;
    case u'm':
      options.editMode = EditMode::Replace;
      break;
    case u'M':
      options.editMode = EditMode::Promote;
      break;
    case u'n':
      addKeyRange(options, digitKeys, 1);
      break;
    case u'N':
      addKeyRange(options, digitKeys, 5);
      break;
    case u'a':
      addKeyRange(options, lowerKeys, 2);
      break;
    case u'A':
      addKeyRange(options, upperKeys, 6);
      break;
    case u'e':
      options.commandWord = 1;
      break;
    case u'l':
      state.appendTail = true;
      break;
    case u'L':
      state.noPrefix = true;
      break;
    default:
      if (letter >= u'1' && letter <= u'9') {
        state.tailCount = letter - u'0';
      }
      break;
  }
}

void takePositional(const WideLine& word, Options& options, ParseState& state) {
  switch (++state.positionalCount) {
    case 1:
      options.menuFile = word;
      break;
    case 2:
      state.folder = word;
      break;
    case 3:
      state.label = word;
      break;
    default:
      if (word.empty() || !isSpaceUnit(word.front())) {
        state.label.push_back(u' ');
      }
      state.label.append(word);
      break;
  }
}

// Puts the first option's code in the lowest bits, where renumbering starts.
KeySequence reverseKeySequence(KeySequence sequence) {
  KeySequence reversed = 0;
  while (sequence != 0) {
    reversed = (reversed << 3) | (sequence & 7);
    sequence >>= 3;
  }
  return reversed;
}

void completeLabel(ParseState& state) {
  if (state.label.empty()) {
    state.label = pathTail(state.folder, state.tailCount);
    state.noPrefix = false;  // a derived label always gets its key
  } else if (state.appendTail) {
    state.label.append(1, u' ').append(pathTail(state.folder, state.tailCount));
  }
}

void removeQuotes(WideLine& text) {
  std::erase(text, u'"');
}

void enclose(WideLine& text) {
  if (text.empty() || text.front() != u'"') {
    text.insert(text.begin(), u'"');
  }
  if (text.back() != u'"') {
    text.push_back(u'"');
  }
}

char16_t placeholderKey(KeyClassMask mask) {
  if ((mask & digitKeys) != 0) {
    return u'0';
  }
  return (mask & lowerKeys) != 0 ? u'a' : u'A';
}

WideLine buildFolderCommand(std::u16string_view folder, std::int32_t commandWord) {
  WideLine command(folder);
  if (command.empty()) {
    return command;
  }
  removeQuotes(command);
  enclose(command);
  command.insert(0, commandWord == 1 ? u"&EXEC " : u"&CD ");
  return command;
}

}  // namespace

std::u16string_view pathTail(std::u16string_view text, int count) {
  if (count <= 0 || text.empty()) {
    return text;
  }
  for (std::size_t position = text.size() - 1; position > 0;
       position = previousCharacter(text, position)) {
    if (text[position] == u'\\' && --count == 0) {
      return text.substr(nextCharacter(text, position));
    }
  }
  return text;
}

Options parseCommandLine(std::span<const WideLine> words) {
  Options options;
  ParseState state;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const WideLine& word = words[i];
    // Only the word itself: in "-menu.txt" and the like a u stays a letter that names nothing.
    if (word == u"-u") {
      options.undo = true;
      continue;
    }
    if (!word.empty() && word.front() == u'-') {
      ++options.otherWords;
      for (const char16_t letter : std::u16string_view(word).substr(1)) {
        applyOptionLetter(letter, options, state);
      }
    } else {
      takePositional(word, options, state);
      options.otherWords += state.positionalCount > 1 ? 1 : 0;
    }
  }
  options.keys.keySequence = reverseKeySequence(options.keys.keySequence);

  completeLabel(state);
  removeQuotes(state.label);
  // An entry must stay one line, or toggling it off would leave its first half behind.
  std::replace_if(
      state.label.begin(), state.label.end(),
      [](char16_t unit) { return unit == u'\r' || unit == u'\n'; }, u' ');
  if (!state.noPrefix && options.keys.keyClassMask != 0) {
    state.label.insert(0, WideLine{placeholderKey(options.keys.keyClassMask), u' '});
  }
  enclose(state.label);
  options.entryLabel = std::move(state.label);
  options.folderCommand = buildFolderCommand(state.folder, options.commandWord);
  return options;
}

}  // namespace zelpin
