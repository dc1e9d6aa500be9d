#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

}  // namespace
}  // namespace velkaro
