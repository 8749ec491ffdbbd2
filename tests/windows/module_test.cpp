// The extension module as Windows loads it: the .pyd beside a stand-in
// python313.dll that exports the names the module imports (and is never
// called). What the module exports and imports is read from its image.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring besideProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.find_last_of(L"\\/") + 1) + name;
}

template <class T>
const T* at(HMODULE image, DWORD rva) {
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(image) + rva);
}

const IMAGE_DATA_DIRECTORY& directory(HMODULE image, int entry) {
    const auto* nt = at<IMAGE_NT_HEADERS>(image, at<IMAGE_DOS_HEADER>(image, 0)->e_lfanew);
    return nt->OptionalHeader.DataDirectory[entry];
}

std::vector<std::string> exportedNames(HMODULE image) {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& dir = directory(image, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (dir.Size == 0) return names;
    const auto* exports = at<IMAGE_EXPORT_DIRECTORY>(image, dir.VirtualAddress);
    const auto* rvas = at<DWORD>(image, exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.emplace_back(at<char>(image, rvas[i]));
    // Exports by ordinal alone have no name: count them apart.
    for (DWORD i = exports->NumberOfNames; i < exports->NumberOfFunctions; ++i) names.emplace_back("#ordinal");
    return names;
}

std::vector<std::string> importedDlls(HMODULE image) {
    std::vector<std::string> dlls;
    const IMAGE_DATA_DIRECTORY& dir = directory(image, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (dir.Size == 0) return dlls;
    for (const auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(image, dir.VirtualAddress); entry->Name; ++entry)
        dlls.emplace_back(at<char>(image, entry->Name));
    return dlls;
}

TEST(ExtensionModule, ImportsPythonsDllAndSystemDllsExportsOnlyItsInitAndLoads) {
    const std::wstring file = besideProgram(OSTRAND_MODULE_FILE);
    // Mapped first without its imports, so that a DLL missing here is named
    // rather than failing the load.
    HMODULE image = LoadLibraryExW(file.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr) << "LoadLibraryEx: error " << GetLastError();
    const std::vector<std::string> exports = exportedNames(image), imports = importedDlls(image);
    FreeLibrary(image);
    EXPECT_EQ(exports, std::vector<std::string>{"PyInit_ostrandcore"});

    wchar_t systemDir[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(systemDir, MAX_PATH), 0u);
    bool python = false;
    for (const std::string& dll : imports) {
        if (lstrcmpiA(dll.c_str(), "python313.dll") == 0) {
            python = true;
            continue;
        }
        // No compiler runtime DLL: everything else is the system's own.
        std::wstring name(dll.begin(), dll.end());
        wchar_t found[MAX_PATH];
        EXPECT_GT(SearchPathW(systemDir, name.c_str(), nullptr, MAX_PATH, found, nullptr), 0u)
            << dll << " is not a system DLL";
    }
    EXPECT_TRUE(python) << "the module does not import python313.dll";

    HMODULE module = LoadLibraryW(file.c_str());
    ASSERT_NE(module, nullptr) << "LoadLibrary: error " << GetLastError();
    EXPECT_NE(GetProcAddress(module, "PyInit_ostrandcore"), nullptr);
    FreeLibrary(module);
}

}  // namespace
