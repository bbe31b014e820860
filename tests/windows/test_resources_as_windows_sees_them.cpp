// The window's resources compiled by the Windows resource compiler and read
// back with the calls Windows itself uses: the manifest the loader reads,
// the icon group Explorer shows, and the version block of the file's
// properties.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The library beside this test program.
std::wstring LibraryPath()
{
    std::wstring self(MAX_PATH, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    self.resize(length);
    const std::string name = TOVALY_RESOURCE_LIBRARY;
    return self.substr(0, self.find_last_of(L"\\/") + 1) + std::wstring(name.begin(), name.end());
}

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_module = LoadLibraryExW(LibraryPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(m_module, nullptr) << "cannot load the resource library, error " << GetLastError();
    }
    void TearDown() override
    {
        if (m_module)
            FreeLibrary(m_module);
    }

    // The bytes of resource `name` of `type` in US English, or nothing.
    std::string Resource(LPCWSTR type, LPCWSTR name) const
    {
        const HRSRC found = FindResourceExW(m_module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        if (!found)
            return {};
        const HGLOBAL loaded = LoadResource(m_module, found);
        const void *data = loaded ? LockResource(loaded) : nullptr;
        if (!data)
            return {};
        return std::string(static_cast<const char *>(data), SizeofResource(m_module, found));
    }

    HMODULE m_module = nullptr;
};

TEST_F(ResourcesTest, TheManifestIsTheFileByteForByte)
{
    const std::string manifest = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    EXPECT_EQ(manifest, ReadFile(TOVALY_APP_SOURCE_DIR "/windows/app.manifest"));
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bits;
    DWORD size;
    WORD id;
};
#pragma pack(pop)

TEST_F(ResourcesTest, TheIconGroupNamesNineImagesThatAreThere)
{
    const std::string group = Resource(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(1)); // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u);
    WORD type = 0;
    WORD count = 0;
    std::memcpy(&type, group.data() + 2, 2);
    std::memcpy(&count, group.data() + 4, 2);
    EXPECT_EQ(type, 1); // icons, not cursors
    ASSERT_EQ(count, 9);
    ASSERT_EQ(group.size(), 6 + count * sizeof(GroupIconEntry));
    int truecolour = 0;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry{};
        std::memcpy(&entry, group.data() + 6 + i * sizeof(GroupIconEntry), sizeof entry);
        const std::string image = Resource(MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(entry.id)); // RT_ICON
        EXPECT_EQ(image.size(), entry.size) << "image " << entry.id;
        truecolour += entry.bits == 32;
    }
    EXPECT_EQ(truecolour, 5);
    // Windows picks an image of the size it needs from the group.
    const int small = LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(const_cast<char *>(group.data())), TRUE, 16,
                                                  16, LR_DEFAULTCOLOR);
    EXPECT_NE(small, 0);
}

TEST_F(ResourcesTest, TheVersionBlockAsTheFilePropertiesShowIt)
{
    const std::wstring path = LibraryPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &fixedSize));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    const auto text = [&](const wchar_t *key) {
        wchar_t *value = nullptr;
        UINT length = 0;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void **>(&value), &length) || !value)
            return std::wstring(L"(none)");
        return std::wstring(value);
    };
    EXPECT_EQ(text(L"FileDescription"), std::wstring(L"Convert Opera Mails to MBOX"));
    EXPECT_EQ(text(L"ProductName"), std::wstring(L"Tovaly Opera to MBOX Converter"));
    EXPECT_EQ(text(L"FileVersion"), std::wstring(L"1.00"));
    EXPECT_EQ(text(L"OriginalFilename"), std::wstring(L"TovalyOpera2MBOXConverter.exe"));
}

} // namespace
