// Reading the mount record's bytes: the entities of real-looking records, licence
// text around them, and bad input of every kind, which must end in a verdict and
// never in a crash, a hang or a huge allocation.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "../fuzz/record_check.h"
#include "image/record.h"
#include "platform/property_list.h"
#include "support/files.h"
#include "support/record.h"

using installer::readMountRecordBytes;
using testing_support::recordSeed;

namespace {

using Reading = installer::Result<std::vector<installer::SystemEntity>>;

std::vector<std::optional<std::string>> mountPoints(const Reading& reading) {
  std::vector<std::optional<std::string>> points;
  for (const auto& entity : *reading) {
    points.push_back(entity.mountPoint);
  }
  return points;
}

std::string errorOf(const Reading& reading) { return reading ? "" : reading.error().description; }

// A binary property list of arrays nested `levels` deep, each referring `fan` times to
// the next, the last one holding nothing.
std::string nestedBinary(std::uint64_t levels, unsigned fan) {
  auto bigEndian = [](std::uint64_t value, int width) {
    std::string bytes;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
      bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
  };
  std::string data = "bplist00";
  std::string offsets;
  for (std::uint64_t i = 0; i < levels; ++i) {
    offsets += bigEndian(data.size(), 4);
    data += static_cast<char>(i + 1 < levels ? 0xA0 | fan : 0xA0);
    for (unsigned n = 0; i + 1 < levels && n < fan; ++n) {
      data += bigEndian(i + 1, 4);
    }
  }
  std::uint64_t table = data.size();
  return data + offsets + std::string(6, '\0') + "\x04\x04" + bigEndian(levels, 8) + bigEndian(0, 8) +
         bigEndian(table, 8);
}

std::string repeated(const std::string& part, size_t times) {
  std::string whole;
  for (size_t i = 0; i < times; ++i) {
    whole += part;
  }
  return whole;
}

std::string nestedXml(size_t levels, const std::string& open, const std::string& close) {
  return "<plist>" + repeated(open, levels) + repeated(close, levels) + "</plist>";
}

TEST(MountRecord, EntitiesComeInOrderFromTheListThatEndsTheRecord) {
  using Points = std::vector<std::optional<std::string>>;
  const Points hfs{std::nullopt, "/Volumes/Transmission"}, apfs{std::nullopt, std::nullopt, "/Volumes/container-apfs"};
  const std::string record = recordSeed("hdiutil-hfs.plist");
  struct Case {
    std::string name;  // of a seed, which is the bytes unless they are given
    std::optional<Points> expected;  // nothing: no property list
    std::string wholeDevice = "";  // what a failed detach ejects
    std::string bytes = "";
  };
  for (const Case& c : std::vector<Case>{
           {"hdiutil-hfs.plist", hfs, "/dev/disk4"},
           {"hdiutil-hfs.bplist", hfs, "/dev/disk4"},
           {"hdiutil-apfs.plist", apfs, "/dev/disk4"},
           {"odd-mount-points.plist", Points{"/Volumes/My \"$(Disk)\" `x` \\ '\xC3\xA9'", ""}},
           {"mount-point-not-string.plist", Points{std::nullopt, std::nullopt}},
           // Licence text in front, which may quote lists and tags: hdiutil's record is last.
           {"licence-before.txt", hfs, "/dev/disk4"},
           {"licence-around.txt", apfs, "/dev/disk4"},
           {"licence-plist-only.txt", hfs, "/dev/disk4"},
           {"licence-quotes-list.txt", hfs, "/dev/disk4"},
           {"licence-quotes-half.txt", hfs, "/dev/disk4"},
           {"licence-quotes-close.txt", hfs, "/dev/disk4"},
           {"licence quotes the declaration and tags", hfs, "/dev/disk4",
            "Files start with <?xml version=\"1.0\"?> and <plist>; see </plist>.\nAgree Y/N? " + record},
           // Anything but blanks after a list: it was not the last thing hdiutil wrote.
           {"text-after-record.txt", std::nullopt},
           {"text and a tag after", std::nullopt, "", record + "and then </plist>\n"},
           {"a binary list after text", std::nullopt, "", "Agree Y/N? " + recordSeed("hdiutil-hfs.bplist")},
       }) {
    auto reading = readMountRecordBytes(c.bytes.empty() ? recordSeed(c.name) : c.bytes);
    if (!c.expected) {
      EXPECT_EQ(errorOf(reading), installer::kNotAPropertyList) << c.name;
      continue;
    }
    ASSERT_TRUE(reading) << c.name << ": " << errorOf(reading);
    EXPECT_EQ(mountPoints(reading), *c.expected) << c.name;
    EXPECT_EQ(installer::wholeDevice(*reading), c.wholeDevice) << c.name;
  }
  // A slice, a raw device or anything else is no whole device.
  using installer::SystemEntity;
  for (const char* other : {"/dev/disk4s1", "/dev/rdisk4", "/dev/disk", "/dev/disk4 ", "disk4", "/dev/disk4/.."}) {
    EXPECT_EQ(installer::wholeDevice({SystemEntity{std::nullopt, other}}), "") << other;
  }
  EXPECT_EQ(installer::wholeDevice({SystemEntity{"/V", "/dev/disk7s2"}, SystemEntity{std::nullopt, "/dev/disk7"},
                                    SystemEntity{std::nullopt, "/dev/disk8"}}),
            "/dev/disk7");
}

TEST(MountRecord, EveryTruncationOfARealRecordIsHandled) {
  for (const char* name : {"hdiutil-hfs.plist", "hdiutil-hfs.bplist", "licence-around.txt"}) {
    std::string whole = recordSeed(name);
    for (size_t length = 0; length < whole.size(); ++length) {
      auto reading = readMountRecordBytes(whole.substr(0, length));
      // A cut after the top dictionary may still parse; it must then be complete.
      if (reading) {
        EXPECT_GE(reading->size(), 2u) << name << " cut at " << length;
      } else {
        EXPECT_NE(errorOf(reading), "") << name << " cut at " << length;
      }
    }
  }
}

TEST(MountRecord, HostileBytesAreRefusedWithAReason) {
  const std::string damaged = "The binary property list is damaged: ";
  const std::string tooDeep = "The property list nests containers more than 512 levels deep.";
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {"empty", "", std::string(installer::kNotAPropertyList)},
           {"text", recordSeed("text.txt"), std::string(installer::kNotAPropertyList)},
           {"xml arrays 100000 deep", nestedXml(100000, "<array>", "</array>"), tooDeep},
           {"xml dictionaries 100000 deep", nestedXml(100000, "<dict><key>k</key>", "</dict>"), tooDeep},
           {"xml never closed", std::string(700000, '<') + nestedXml(100000, "<array>", ""), tooDeep},
           {"2,000,000 character references", nestedXml(1, "<string>" + repeated("&amp;", 2000000), "</string>"),
            "The property list holds too many character references."},
           {"binary 100000 deep", nestedBinary(100000, 1), tooDeep},
           {"binary shared 2^40 times", nestedBinary(41, 2), "The property list holds more than 100000 values."},
           {"binary cycle", recordSeed("binary-cycle.bplist"), damaged + "a container holds itself."},
           {"binary offset past the end", recordSeed("binary-offset-past-end.bplist"),
            damaged + "an object offset lies outside the object table."},
           {"binary with 2^62 objects", recordSeed("binary-huge-count.bplist"), damaged + "its offset table does not fit."},
           {"binary array of 2^60", recordSeed("binary-huge-array.bplist"),
            damaged + "a container's references run past the end."},
           {"binary table past the end", recordSeed("binary-table-past-end.bplist"),
            damaged + "its offset table does not fit."},
           {"binary header only", "bplist00", damaged + "it is shorter than its header and trailer."},
       }) {
    auto reading = readMountRecordBytes(c.bytes);
    EXPECT_EQ(errorOf(reading), c.error) << c.name;
  }
}

TEST(MountRecord, NestingUpToTheLimitIsRead) {
  for (const auto& [bytes, depth] : std::vector<std::pair<std::string, int>>{
           {nestedXml(512, "<array>", "</array>"), 512},
           {nestedXml(511, "<array>", "</array>").insert(7 + 511 * 7, "<dict/>"), 512},
           {nestedBinary(512, 1), 512},
           {nestedXml(513, "<array>", "</array>"), 513},
           {nestedXml(512, "<array>", "</array>").insert(7 + 512 * 7, "<array/>"), 513},
           {nestedBinary(513, 1), 513}}) {
    auto reading = readMountRecordBytes(bytes);
    // Within the limit, a property list of the wrong shape: no entities.
    EXPECT_EQ(reading && reading->empty(), depth <= 512) << depth << ": " << errorOf(reading);
  }
}

// The fuzzer's seed corpus and every input that ever broke the reader, under the
// test build's sanitizers.
TEST(RecordFuzzCorpus, EveryKeptInputIsHandledWithinBounds) {
  size_t replayed = 0;
  for (const char* folder : {"fuzz/corpus/record", "fuzz/crashes/record"}) {
    std::filesystem::path path = std::filesystem::path(PROJECT_SOURCE_DIR) / folder;
    if (!std::filesystem::is_directory(path)) {
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (!entry.is_regular_file()) {
        continue;
      }
      EXPECT_EQ(record_check::check(testing_support::readFile(entry.path())), "") << entry.path();
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 20u) << "the seed corpus is missing";
}

}  // namespace
