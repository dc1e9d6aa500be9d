#include <windows.h>

#include <shlwapi.h>
#include <xmllite.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
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

// The icons go in as the generator writes them: every image of each, byte
// for byte, under one icon group per icon. The program's icon comes first,
// so that Explorer shows it for the file.
TEST(WindowsResources, TheIconsAreTheGeneratedFiles) {
  const std::pair<int, std::vector<std::uint8_t>> kIcons[] = {
      {1, pictures::EncodePlugIcon()},
      {101, pictures::EncodeLampIcon(LampKind::kOff)},
      {102, pictures::EncodeLampIcon(LampKind::kOk)},
      {103, pictures::EncodeLampIcon(LampKind::kBad)},
      {104, pictures::EncodeLampIcon(LampKind::kTest)}};
  for (const auto& [id, file] : kIcons) {
    SCOPED_TRACE(id);
    const std::vector<std::uint8_t> group = Resource(MAKEINTRESOURCEW(id), RT_GROUP_ICON);
    const std::size_t count = file[4];
    ASSERT_EQ(group.size(), sizeof(GroupHeader) + count * sizeof(GroupEntry));
    for (std::size_t i = 0; i < count; ++i) {
      GroupEntry entry;
      std::memcpy(&entry, group.data() + sizeof(GroupHeader) + i * sizeof entry, sizeof entry);
      // The file's directory entry i: the image's size, colours, and where it lies.
      EXPECT_EQ(entry.width, file[6 + i * 16]) << "image " << i;
      EXPECT_EQ(entry.bits_per_pixel, file[6 + i * 16 + 6]) << "image " << i;
      std::uint32_t bytes, offset;
      std::memcpy(&bytes, file.data() + 6 + i * 16 + 8, 4);
      std::memcpy(&offset, file.data() + 6 + i * 16 + 12, 4);
      const std::vector<std::uint8_t> image(file.begin() + offset, file.begin() + offset + bytes);
      EXPECT_EQ(Resource(MAKEINTRESOURCEW(entry.id), RT_ICON), image) << "image " << i;
    }
  }
}

using Attributes = std::map<std::wstring, std::wstring>;

// Every element of the manifest with the given name, read with Windows's own
// XML reader; fails the test if the text is not well-formed XML.
std::vector<Attributes> ElementsOfManifest(const std::vector<std::uint8_t>& manifest,
                                           std::wstring_view name) {
  std::vector<Attributes> found;
  using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
  const HMODULE xmllite = ::LoadLibraryW(L"xmllite.dll");
  const auto create = reinterpret_cast<CreateXmlReaderFn>(
      reinterpret_cast<void*>(::GetProcAddress(xmllite, "CreateXmlReader")));
  IXmlReader* reader = nullptr;
  IStream* stream = ::SHCreateMemStream(manifest.data(), static_cast<UINT>(manifest.size()));
  if (create == nullptr || stream == nullptr ||
      FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader), nullptr)) ||
      FAILED(reader->SetInput(stream))) {
    ADD_FAILURE() << "no XML reader";
  } else {
    XmlNodeType type;
    HRESULT read;
    while ((read = reader->Read(&type)) == S_OK) {
      const wchar_t* text = nullptr;
      if (type != XmlNodeType_Element || FAILED(reader->GetLocalName(&text, nullptr)) ||
          text != name) {
        continue;
      }
      Attributes& attributes = found.emplace_back();
      for (HRESULT at = reader->MoveToFirstAttribute(); at == S_OK;
           at = reader->MoveToNextAttribute()) {
        const wchar_t* value = nullptr;
        reader->GetLocalName(&text, nullptr);
        reader->GetValue(&value, nullptr);
        attributes[text] = value;
      }
    }
    EXPECT_EQ(read, S_FALSE) << "the manifest is not well-formed XML: error " << std::hex << read;
  }
  if (reader != nullptr) reader->Release();
  if (stream != nullptr) stream->Release();
  if (xmllite != nullptr) ::FreeLibrary(xmllite);
  return found;
}

// Windows makes no activation context, and so does not start the program,
// unless every assembly version is four whole numbers from 0 to 65535.
bool IsAssemblyVersion(const std::wstring& version) {
  std::wistringstream in(version);
  std::wstring part;
  int parts = 0;
  while (std::getline(in, part, L'.')) {
    if (part.empty() || part.size() > 5 || part.find_first_not_of(L"0123456789") != part.npos ||
        std::stoi(part) > 65535) {
      return false;
    }
    ++parts;
  }
  return parts == 4 && version.back() != L'.';
}

TEST(WindowsResources, TheManifestAndVersionTellWindowsWhatTheProgramIs) {
  const std::vector<std::uint8_t> manifest = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  const std::vector<Attributes> identities = ElementsOfManifest(manifest, L"assemblyIdentity");
  ASSERT_EQ(identities.size(), 2u) << "the program's own, and common controls'";
  for (const Attributes& identity : identities) {
    const std::wstring version = identity.count(L"version") ? identity.at(L"version") : L"";
    EXPECT_TRUE(IsAssemblyVersion(version)) << "not a version: " << version.c_str();
  }
  EXPECT_EQ(identities[0].at(L"name"), L"Velkaro");
  EXPECT_EQ(identities[0].at(L"version"), std::wstring(VELKARO_VERSION) + L".0");
  EXPECT_EQ(identities[1].at(L"name"), L"Microsoft.Windows.Common-Controls");
  const std::vector<Attributes> levels = ElementsOfManifest(manifest, L"requestedExecutionLevel");
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(levels[0].at(L"level"), L"asInvoker");
  // Windows 7, 8, 8.1, and 10 and 11, each by its own identifier.
  std::vector<std::wstring> systems;
  for (const Attributes& os : ElementsOfManifest(manifest, L"supportedOS")) {
    systems.push_back(os.at(L"Id"));
  }
  EXPECT_EQ(systems, (std::vector<std::wstring>{L"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                                L"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                                L"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                                L"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}));
  // Built as the program is: subsystem version 6.0.
  const auto* image = reinterpret_cast<const std::uint8_t*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.MajorSubsystemVersion, 6);
  EXPECT_EQ(nt->OptionalHeader.MinorSubsystemVersion, 0);

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
