#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pictures.h"

namespace velkaro {
namespace {

// An icon group resource: the icon file's directory with resource ids in
// place of file offsets.
#pragma pack(push, 2)
struct GroupEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bits_per_pixel;
  DWORD bytes;
  WORD id;
};
struct GroupHeader {
  WORD reserved, type, count;
};
#pragma pack(pop)

std::vector<std::uint8_t> Resource(const wchar_t* name, const wchar_t* type) {
  HRSRC found = ::FindResourceW(nullptr, name, type);
  if (found == nullptr) return {};
  const auto* data =
      static_cast<const std::uint8_t*>(::LockResource(::LoadResource(nullptr, found)));
  return {data, data + ::SizeofResource(nullptr, found)};
}

TEST(WindowsResources, TheProgramIconIsThePlugIcon) {
  const std::vector<std::uint8_t> group = Resource(MAKEINTRESOURCEW(1), RT_GROUP_ICON);
  ASSERT_EQ(group.size(), sizeof(GroupHeader) + sizeof(GroupEntry));
  GroupHeader header;
  GroupEntry entry;
  std::memcpy(&header, group.data(), sizeof header);
  std::memcpy(&entry, group.data() + sizeof header, sizeof entry);
  EXPECT_EQ(header.type, 1);
  EXPECT_EQ(header.count, 1);
  EXPECT_EQ(entry.width, 32);
  EXPECT_EQ(entry.height, 32);
  EXPECT_EQ(entry.bits_per_pixel, 4);

  // The image itself is the one the generator writes into the icon file.
  const std::vector<std::uint8_t> file = pictures::EncodePlugIcon();
  constexpr std::size_t kImageOffset = 6 + 16;  // one directory entry
  const std::vector<std::uint8_t> image(file.begin() + kImageOffset, file.end());
  EXPECT_EQ(entry.bytes, image.size());
  EXPECT_EQ(Resource(MAKEINTRESOURCEW(entry.id), RT_ICON), image);
}

// The lamp icons go in as the generator writes them: every image of each,
// byte for byte, under one icon group per lamp.
TEST(WindowsResources, TheLampIconsAreTheGeneratedFiles) {
  const std::pair<int, LampKind> kLamps[] = {
      {101, LampKind::kOff}, {102, LampKind::kOk}, {103, LampKind::kBad}, {104, LampKind::kTest}};
  for (const auto& [id, kind] : kLamps) {
    SCOPED_TRACE(id);
    const std::vector<std::uint8_t> group = Resource(MAKEINTRESOURCEW(id), RT_GROUP_ICON);
    const std::vector<std::uint8_t> file = pictures::EncodeLampIcon(kind);
    ASSERT_EQ(group.size(), sizeof(GroupHeader) + 5 * sizeof(GroupEntry));
    for (std::size_t i = 0; i < 5; ++i) {
      GroupEntry entry;
      std::memcpy(&entry, group.data() + sizeof(GroupHeader) + i * sizeof entry, sizeof entry);
      // The file's directory entry i: its size and offset of the image.
      std::uint32_t bytes, offset;
      std::memcpy(&bytes, file.data() + 6 + i * 16 + 8, 4);
      std::memcpy(&offset, file.data() + 6 + i * 16 + 12, 4);
      const std::vector<std::uint8_t> image(file.begin() + offset, file.begin() + offset + bytes);
      EXPECT_EQ(Resource(MAKEINTRESOURCEW(entry.id), RT_ICON), image) << "image " << i;
    }
  }
}

TEST(WindowsResources, TheManifestAndVersionTellWindowsWhatTheProgramIs) {
  const std::vector<std::uint8_t> bytes = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  const std::string manifest(bytes.begin(), bytes.end());
  for (const char* part : {"level=\"asInvoker\"", "Microsoft.Windows.Common-Controls",
                           "version=\"6.0.0.0\"", "<dpiAware", ">true</dpiAware>"}) {
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  }
  std::vector<std::uint8_t> version = Resource(MAKEINTRESOURCEW(1), RT_VERSION);
  ASSERT_FALSE(version.empty());
  for (const auto& [key, want] :
       {std::pair{L"ProductName", L"Velkaro"}, std::pair{L"ProductVersion", VELKARO_VERSION}}) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    ASSERT_TRUE(
        ::VerQueryValueW(version.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
        << "a version value is missing";
    EXPECT_STREQ(value, want);
  }
}

}  // namespace
}  // namespace velkaro
