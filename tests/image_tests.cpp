// The built executable as a file: its resources, imports and header flags.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "support.h"

namespace {

std::vector<unsigned char> ReadWholeFile(const std::string& path)
{
    std::vector<unsigned char> bytes;
    FILE* stream = fopen(path.c_str(), "rb");
    if (stream == NULL)
        return bytes;
    unsigned char chunk[65536];
    size_t read = 0;
    while ((read = fread(chunk, 1, sizeof(chunk), stream)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + read);
    fclose(stream);
    return bytes;
}

std::string VersionString(const std::vector<unsigned char>& info, const char* name)
{
    std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
    char* value = NULL;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query.c_str(), (void**)&value, &length) || value == NULL)
        return "<missing>";
    return std::string(value);
}

TEST(Resources, VersionRecordHoldsEveryString)
{
    std::string path = ToolPath();
    DWORD handle = 0;
    DWORD bytes = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(bytes, 0u);
    std::vector<unsigned char> info(bytes);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, bytes, info.data()));

    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(0x00010005u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000000u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010005u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000000u, fixed->dwProductVersionLS);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);

    WORD* translation = NULL;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);

    EXPECT_EQ("Quorvane", VersionString(info, "CompanyName"));
    EXPECT_EQ("Tool to find Hidden Command Prompts and Detect Hacker Activity",
              VersionString(info, "FileDescription"));
    EXPECT_EQ("1.5.0.0", VersionString(info, "FileVersion"));
    EXPECT_EQ("1.5.0.0", VersionString(info, "ProductVersion"));
    EXPECT_EQ("Murkscope", VersionString(info, "InternalName"));
    EXPECT_EQ("Murkscope", VersionString(info, "ProductName"));
    EXPECT_EQ("Murkscope.exe", VersionString(info, "OriginalFilename"));
}

#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

const void* LoadResourceBytes(HMODULE module, LPCSTR name, LPCSTR type, DWORD* bytes)
{
    HRSRC found = FindResourceA(module, name, type);
    if (found == NULL)
        return NULL;
    *bytes = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    return loaded == NULL ? NULL : LockResource(loaded);
}

TEST(Resources, IconGroupHoldsSevenThirtyTwoBitImages)
{
    HMODULE module = LoadLibraryExA(ToolPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, (HMODULE)NULL);
    DWORD bytes = 0;
    const unsigned char* group = (const unsigned char*)LoadResourceBytes(module, MAKEINTRESOURCEA(1), RT_GROUP_ICON, &bytes);
    ASSERT_NE(group, (const unsigned char*)NULL);
    IconGroupHeader header;
    memcpy(&header, group, sizeof(header));
    ASSERT_EQ(1, header.type);
    ASSERT_EQ(7, header.count);
    ASSERT_EQ(sizeof(header) + 7 * sizeof(IconGroupEntry), bytes);

    const int sizes[] = {128, 72, 64, 48, 32, 24, 16};
    std::set<int> seen;
    for (int index = 0; index < 7; index++) {
        IconGroupEntry entry;
        memcpy(&entry, group + sizeof(header) + index * sizeof(entry), sizeof(entry));
        EXPECT_EQ(32, entry.bitCount);
        EXPECT_EQ(entry.width, entry.height);
        DWORD imageBytes = 0;
        const void* image = LoadResourceBytes(module, MAKEINTRESOURCEA(entry.id), RT_ICON, &imageBytes);
        ASSERT_NE(image, (const void*)NULL);
        ASSERT_GE(imageBytes, sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER bitmap;
        memcpy(&bitmap, image, sizeof(bitmap));
        EXPECT_EQ(32, bitmap.biBitCount);
        EXPECT_EQ(bitmap.biWidth * 2, bitmap.biHeight);
        EXPECT_EQ(entry.width, bitmap.biWidth);
        seen.insert(bitmap.biWidth);
        EXPECT_EQ(sizes[index], bitmap.biWidth);
    }
    EXPECT_EQ(std::set<int>(sizes, sizes + 7), seen);
    FreeLibrary(module);
}

TEST(Resources, ManifestRunsAsInvokerWithoutUiAccess)
{
    HMODULE module = LoadLibraryExA(ToolPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, (HMODULE)NULL);
    DWORD bytes = 0;
    const char* manifest = (const char*)LoadResourceBytes(module, MAKEINTRESOURCEA(1), RT_MANIFEST, &bytes);
    ASSERT_NE(manifest, (const char*)NULL);
    std::string text(manifest, bytes);
    EXPECT_NE(std::string::npos, text.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"))
        << text;
    EXPECT_EQ(text.find("requestedExecutionLevel"), text.rfind("requestedExecutionLevel"));
    FreeLibrary(module);
}

// Minimal PE reading: enough to list the imported DLLs and the header flags.
struct Image {
    std::vector<unsigned char> bytes;
    IMAGE_NT_HEADERS64 headers;
    size_t sectionsAt;
};

bool ParseImage(const std::string& path, Image* image)
{
    image->bytes = ReadWholeFile(path);
    if (image->bytes.size() < sizeof(IMAGE_DOS_HEADER))
        return false;
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, image->bytes.data(), sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || (size_t)dos.e_lfanew + sizeof(IMAGE_NT_HEADERS64) > image->bytes.size())
        return false;
    memcpy(&image->headers, image->bytes.data() + dos.e_lfanew, sizeof(image->headers));
    image->sectionsAt = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                        image->headers.FileHeader.SizeOfOptionalHeader;
    return image->headers.Signature == IMAGE_NT_SIGNATURE &&
           image->headers.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
}

// File offset of a relative virtual address, or 0 when no section holds it.
size_t FileOffset(const Image& image, DWORD rva)
{
    for (WORD index = 0; index < image.headers.FileHeader.NumberOfSections; index++) {
        IMAGE_SECTION_HEADER section;
        size_t at = image.sectionsAt + index * sizeof(section);
        if (at + sizeof(section) > image.bytes.size())
            return 0;
        memcpy(&section, image.bytes.data() + at, sizeof(section));
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
            return rva - section.VirtualAddress + section.PointerToRawData;
    }
    return 0;
}

std::vector<std::string> ImportedDlls(const Image& image)
{
    std::vector<std::string> names;
    DWORD rva = image.headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    size_t at = FileOffset(image, rva);
    for (; at != 0 && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= image.bytes.size(); at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        memcpy(&descriptor, image.bytes.data() + at, sizeof(descriptor));
        if (descriptor.Name == 0)
            break;
        size_t nameAt = FileOffset(image, descriptor.Name);
        std::string name;
        while (nameAt != 0 && nameAt < image.bytes.size() && image.bytes[nameAt] != 0)
            name.push_back((char)image.bytes[nameAt++]);
        names.push_back(name);
    }
    return names;
}

std::string Lower(std::string text)
{
    for (char& character : text)
        if (character >= 'A' && character <= 'Z')
            character = (char)(character + 32);
    return text;
}

TEST(Image, ImportsWindowsSystemDllsOnly)
{
    Image image;
    ASSERT_TRUE(ParseImage(ToolPath(), &image));
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, image.headers.FileHeader.Machine);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, image.headers.OptionalHeader.Subsystem);
    std::vector<std::string> dlls = ImportedDlls(image);
    std::set<std::string> lowered;
    for (const std::string& dll : dlls) {
        std::string name = Lower(dll);
        lowered.insert(name);
        bool system = name == "kernel32.dll" || name == "advapi32.dll" || name == "msvcrt.dll" ||
                      name == "ucrtbase.dll" || name.compare(0, 12, "api-ms-win-c") == 0;
        EXPECT_TRUE(system) << dll;
    }
    EXPECT_EQ(1u, lowered.count("kernel32.dll"));
    EXPECT_EQ(1u, lowered.count("advapi32.dll"));
}

TEST(Image, HeaderAsksForAslrAndDep)
{
    Image image;
    ASSERT_TRUE(ParseImage(ToolPath(), &image));
    WORD flags = image.headers.OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_FALSE(image.headers.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
}

TEST(Image, HeaderIsTerminalServerAware)
{
    // Without the flag, a Remote Desktop host gives the tool a per-user
    // Windows directory, and the SystemRoot rewrite a false path.
    Image image;
    ASSERT_TRUE(ParseImage(ToolPath(), &image));
    EXPECT_TRUE(image.headers.OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
}

TEST(Image, CarriesStackCookiesAndCheckedCopies)
{
    // A stripped image keeps no symbol; the messages of the stack-cookie and
    // checked-copy failure handlers are what shows they are linked in. An
    // MSVC build carries control-flow guard in its load configuration.
    std::vector<unsigned char> bytes = ReadWholeFile(ToolPath());
    std::string text(bytes.begin(), bytes.end());
#ifdef _MSC_VER
    Image image;
    ASSERT_TRUE(ParseImage(ToolPath(), &image));
    EXPECT_TRUE(image.headers.OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_GUARD_CF);
#else
    EXPECT_NE(std::string::npos, text.find("*** stack smashing detected ***"));
    EXPECT_NE(std::string::npos, text.find("*** buffer overflow detected ***"));
#endif
}

}  // namespace
