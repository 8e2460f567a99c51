#include "storage/records/record_format.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/content_hash.h"

namespace zelpin {
namespace {

struct HashCase {
  std::string bytes;
  std::uint64_t value;  // as xxhsum -H1 prints it
};

class ContentHashes : public testing::TestWithParam<HashCase> {};

// Fed whole and in pieces of every small size, so that the carry between pieces is exercised.
TEST_P(ContentHashes, MatchTheReferenceAlgorithm) {
  for (std::size_t piece = 1; piece <= 40; ++piece) {
    ContentHash hash;
    for (std::size_t at = 0; at < GetParam().bytes.size(); at += piece) {
      hash.add(std::string_view(GetParam().bytes).substr(at, piece));
    }
    EXPECT_EQ(hash.value(), GetParam().value) << "pieces of " << piece;
  }
  EXPECT_EQ(hashOf(GetParam().bytes), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Journal, ContentHashes,
    testing::Values(HashCase{"", 0xef46db3751d8e999ull}, HashCase{"abc", 0x44bc2cf5ad770999ull},
                    HashCase{std::string(100000, 'z'), 0xbe472de327a124c3ull}));

SaveRecord sampleRecord(const std::string& oldContent, const std::string& newContent) {
  SaveRecord record;
  record.file = FileKey{0x803, 1234, 0, 1700000000123456789ull};
  record.path = "/home/me/menu.txt";
  record.oldSize = oldContent.size();
  record.oldHash = hashOf(oldContent);
  record.newSize = newContent.size();
  record.newHash = hashOf(newContent);
  record.oldInside = record.newInside = true;
  record.made = 1796688000123456789;
  return record;
}

std::string recordBytes(const std::string& oldContent, const std::string& newContent) {
  const SaveRecord record = sampleRecord(oldContent, newContent);
  return recordHeader(record) + oldContent + newContent + recordTrailer(record);
}

TEST(Journal, ARecordReadsBackAsWritten) {
  const std::string bytes = recordBytes("zel\nold\n", "\xEF\xBB\xBFzel\r\nnew\r\n");
  const std::optional<ParsedRecord> parsed = parseRecord(bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->record.file, sampleRecord("", "").file);
  EXPECT_EQ(parsed->record.path, "/home/me/menu.txt");
  EXPECT_EQ(parsed->record.made, 1796688000123456789);
  EXPECT_EQ(parsed->oldContent, "zel\nold\n");
  EXPECT_EQ(parsed->newContent, "\xEF\xBB\xBFzel\r\nnew\r\n");
}

// A torn record, a changed byte anywhere, or a file that is no record: none passes.
TEST(Journal, AnythingButAWholeRecordIsRefused) {
  const std::string bytes = recordBytes("zel\nold\n", "\xEF\xBB\xBFzel\r\nnew\r\n");
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(parseRecord(bytes.substr(0, length))) << "cut to " << length;
  }
  EXPECT_FALSE(parseRecord(bytes + "x"));
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string changed = bytes;
    changed[at] = static_cast<char>(changed[at] ^ 0x20);
    EXPECT_FALSE(parseRecord(changed)) << "byte " << at;
  }
  EXPECT_FALSE(parseRecord("\xEF\xBB\xBFzel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n"));
}

// Written by an older zelpin, without the time: it still reads, as made at no time it says.
TEST(Journal, ARecordOfTheFirstVersionStillReads) {
  SaveRecord record = sampleRecord("zel\nold\n", "new");
  record.version = 1;
  record.made = 0;
  const std::string bytes = recordHeader(record) + "zel\nold\n" + "new" + recordTrailer(record);
  ASSERT_EQ(bytes.substr(0, 16), "zelpin-record-1\n");
  const std::optional<ParsedRecord> parsed = parseRecord(bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->record.made, 0);
  EXPECT_EQ(parsed->newContent, "new");
}

std::string lines(int count, const std::string& tag) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "\"" + std::to_string(i % 10) + " " + tag + "\"\t&CD \"C:\\" + tag + std::to_string(i) +
            "\"\r\n";
  }
  return text;
}

// Old and new menus of some kilobytes, so that every state spans many blocks: the new one has an
// entry on top (it grows), or one fewer (it shrinks).
const std::string oldMenu = "\xEF\xBB\xBFzel\r\n" + lines(120, "Folder");
const std::string grown =
    "\xEF\xBB\xBFzel\r\n\"0 New\"\t&CD \"C:\\New\"\r\n" + lines(120, "Folder");
const std::string shrunk =
    "\xEF\xBB\xBFzel\r\n" + lines(120, "Folder").substr(lines(1, "Folder").size());

// The copy of newContent over oldContent stopped after `copied` bytes.
std::string killedAt(const std::string& oldContent, const std::string& newContent,
                     std::size_t copied) {
  std::string menu = newContent.substr(0, copied);
  if (copied < oldContent.size()) {
    menu += oldContent.substr(copied);
  }
  return menu;
}

// The new content of each 512-byte block where keep says, the old (zeros past its end) elsewhere.
std::string crashedWith(const std::string& oldContent, const std::string& newContent,
                        std::size_t length, bool (*keep)(std::size_t block)) {
  std::string menu;
  for (std::size_t at = 0; at < length; ++at) {
    const bool fromNew = keep(at / 512) && at < newContent.size();
    menu.push_back(fromNew ? newContent[at] : at < oldContent.size() ? oldContent[at] : '\0');
  }
  return menu;
}

std::string blankTail(std::size_t length) {
  std::string tail;
  for (std::size_t at = 0; at < length; ++at) {
    tail.push_back(blankTailByte(at, length));
  }
  return tail;
}

struct StateCase {
  const char* name;
  std::string menu;
  const std::string* newContent;
  MenuState expected;
};

void PrintTo(const StateCase& c, std::ostream* out) {
  *out << c.name;
}

class MenuStates : public testing::TestWithParam<StateCase> {};

TEST_P(MenuStates, AreToldApart) {
  EXPECT_EQ(classifyMenu(GetParam().menu, oldMenu, *GetParam().newContent), GetParam().expected);
}

bool everyOther(std::size_t block) {
  return block % 2 == 0;
}
bool lastOnly(std::size_t block) {
  return block == 8;
}

INSTANTIATE_TEST_SUITE_P(
    Journal, MenuStates,
    testing::Values(
        StateCase{"Old", oldMenu, &grown, MenuState::Old},
        StateCase{"New", grown, &grown, MenuState::New},
        StateCase{"KilledEarly", killedAt(oldMenu, grown, 20), &grown, MenuState::Torn},
        StateCase{"KilledMidBlock", killedAt(oldMenu, grown, 1000), &grown, MenuState::Torn},
        StateCase{"KilledPastTheOldEnd", killedAt(oldMenu, grown, oldMenu.size() + 7), &grown,
                  MenuState::Torn},
        StateCase{"KilledBeforeTheCut", killedAt(oldMenu, shrunk, shrunk.size()), &shrunk,
                  MenuState::Torn},
        StateCase{"KilledInTheBlankTail",
                  shrunk + blankTail(oldMenu.size() - shrunk.size()).substr(0, 9) +
                      oldMenu.substr(shrunk.size() + 9),
                  &shrunk, MenuState::Torn},
        StateCase{"BlankTailOfAFileThatWasNotCut",
                  shrunk + blankTail(oldMenu.size() - shrunk.size()), &shrunk, MenuState::Torn},
        StateCase{"CrashKeptEveryOtherBlock", crashedWith(oldMenu, grown, grown.size(), everyOther),
                  &grown, MenuState::Torn},
        StateCase{"CrashKeptTheLengthAndZeros", crashedWith(oldMenu, grown, grown.size(), lastOnly),
                  &grown, MenuState::Torn},
        StateCase{"CrashKeptAShrinksBlockButNotItsCut",
                  shrunk + std::string(oldMenu.size() - shrunk.size(), '\0'), &shrunk,
                  MenuState::Torn},
        StateCase{"CrashKeptNoBlockOfAShrink",
                  crashedWith(oldMenu, shrunk, shrunk.size(), lastOnly), &shrunk, MenuState::Torn},
        StateCase{"ALineAppendedLater", oldMenu + "\"9 Later\"\t&CD \"C:\\Later\"\r\n", &grown,
                  MenuState::Other},
        StateCase{"OneByteChangedLater",
                  [] {
                    std::string menu = oldMenu;
                    menu[700] = '#';
                    return menu;
                  }(),
                  &grown, MenuState::Other},
        StateCase{"AnotherMenu", "\xEF\xBB\xBFzel other\r\n" + lines(121, "Elsewhere"), &grown,
                  MenuState::Other},
        StateCase{"ShorterThanEither", oldMenu.substr(0, shrunk.size() - 1), &shrunk,
                  MenuState::Other},
        StateCase{"OldThenNewInOneBlock",
                  oldMenu.substr(0, 100) + grown.substr(100, 412) + oldMenu.substr(512), &grown,
                  MenuState::Other},
        StateCase{"Empty", "", &grown, MenuState::Other}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin
