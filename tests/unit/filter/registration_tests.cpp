// The registry walk that unregistration uses, on a scratch tree of the current user.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "filter/registration.h"

namespace {

const WCHAR kScratch[] = L"Software\\Quorvex filter tests";

bool KeyExists(LPCWSTR pszPath)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, pszPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

typedef LONG(NTAPI *NtDeleteKeyFn)(HANDLE);

// Deletes the link `name` below hParent itself (not its target), if there is one.
void DeleteLink(HKEY hParent, LPCWSTR pszName)
{
    HKEY hLink = nullptr;
    if (RegOpenKeyExW(hParent, pszName, REG_OPTION_OPEN_LINK, DELETE, &hLink) != ERROR_SUCCESS)
        return;
    auto ntDeleteKey = reinterpret_cast<NtDeleteKeyFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    if (ntDeleteKey)
        ntDeleteKey(hLink);
    RegCloseKey(hLink);
}

// What an interrupted run may have left: the scratch tree and the link in it.
void RemoveScratch()
{
    HKEY hTree = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\tree").c_str(), 0,
                      KEY_ALL_ACCESS, &hTree) == ERROR_SUCCESS) {
        DeleteLink(hTree, L"dangling");
        RegCloseKey(hTree);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
}

void CreateKey(LPCWSTR pszPath)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, pszPath, 0, nullptr, 0, KEY_WRITE, nullptr,
                              &hKey, nullptr), ERROR_SUCCESS) << pszPath;
    const WCHAR szData[] = L"x";
    RegSetValueExW(hKey, L"v", 0, REG_SZ, reinterpret_cast<const BYTE *>(szData), sizeof(szData));
    RegCloseKey(hKey);
}

TEST(EliminateSubKey, RemovesAKeyWithEverythingBelowIt)
{
    RemoveScratch();
    const std::wstring root = std::wstring(kScratch) + L"\\tree";
    CreateKey((root + L"\\a\\b\\c").c_str());
    CreateKey((root + L"\\a\\d").c_str());
    CreateKey((root + L"\\e").c_str());
    CreateKey((std::wstring(kScratch) + L"\\sibling").c_str());

    HKEY hScratch = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kScratch, 0, KEY_ALL_ACCESS, &hScratch),
              ERROR_SUCCESS);
    EXPECT_EQ(EliminateSubKey(hScratch, L"tree"), S_OK);
    EXPECT_FALSE(KeyExists(root.c_str()));
    EXPECT_TRUE(KeyExists((std::wstring(kScratch) + L"\\sibling").c_str()));

    // Already gone, or no name at all.
    EXPECT_EQ(EliminateSubKey(hScratch, L"tree"), S_OK);
    EXPECT_EQ(EliminateSubKey(hScratch, L""), E_FAIL);
    EXPECT_EQ(EliminateSubKey(hScratch, nullptr), E_FAIL);
    RegCloseKey(hScratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
}

}  // namespace

namespace {

struct Walk {
    HKEY hParent;
    HRESULT hr;
};

DWORD WINAPI EliminateOnThread(void *pv)
{
    Walk *pWalk = static_cast<Walk *>(pv);
    pWalk->hr = EliminateSubKey(pWalk->hParent, L"tree");
    return 0;
}

TEST(EliminateSubKey, StopsAtAChildThatCannotBeRemoved)
{
    // A link to a key that does not exist: enumerated, but never opened nor deleted through
    // its name, so a walk that only retries would see it for ever.
    RemoveScratch();
    const std::wstring tree = std::wstring(kScratch) + L"\\tree";
    CreateKey(tree.c_str());
    HKEY hTree = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, tree.c_str(), 0, KEY_ALL_ACCESS, &hTree),
              ERROR_SUCCESS);
    HKEY hLink = nullptr;
    ASSERT_EQ(RegCreateKeyExW(hTree, L"dangling", 0, nullptr,
                              REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &hLink, nullptr), ERROR_SUCCESS);
    const WCHAR szTarget[] = L"\\Registry\\Machine\\Software\\Quorvex nowhere";
    ASSERT_EQ(RegSetValueExW(hLink, L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE *>(szTarget),
                             sizeof(szTarget) - sizeof(WCHAR)), ERROR_SUCCESS);
    RegCloseKey(hLink);

    HKEY hScratch = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kScratch, 0, KEY_ALL_ACCESS, &hScratch),
              ERROR_SUCCESS);
    Walk walk = {hScratch, S_OK};
    HANDLE hThread = CreateThread(nullptr, 0, EliminateOnThread, &walk, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    if (WaitForSingleObject(hThread, 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the walk does not end";
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    CloseHandle(hThread);
    EXPECT_TRUE(FAILED(walk.hr)) << std::hex << walk.hr;
    EXPECT_TRUE(KeyExists(tree.c_str()));

    // The link itself goes through a handle to it; then the walk succeeds.
    DeleteLink(hTree, L"dangling");
    RegCloseKey(hTree);
    EXPECT_EQ(EliminateSubKey(hScratch, L"tree"), S_OK);
    RegCloseKey(hScratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
}

TEST(Extensions, WithOrWithoutTheDotTheSameKey)
{
    const WCHAR kKey[] = L"Media Type\\Extensions\\.qvxtest";
    RegDeleteKeyW(HKEY_CLASSES_ROOT, kKey);
    ASSERT_EQ(RegisterExtension(L".qvxtest"), S_OK);
    WCHAR szValue[64] = {};
    DWORD cb = sizeof(szValue);
    ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, kKey, L"Source Filter", RRF_RT_REG_SZ, nullptr,
                           szValue, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(szValue, L"{2D01BA43-D2CB-409B-AA33-E433F02496D3}");

    // Unregistering without the dot finds the same key; a second time finds none.
    EXPECT_EQ(UnregisterExtension(L"qvxtest"), S_OK);
    HKEY hKey = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kKey, 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(UnregisterExtension(L".qvxtest"), S_OK);

    ASSERT_EQ(RegisterExtension(L"qvxtest"), S_OK);
    cb = sizeof(szValue);
    EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, kKey, L"Source Filter", RRF_RT_REG_SZ, nullptr,
                           szValue, &cb), ERROR_SUCCESS);
    EXPECT_EQ(UnregisterExtension(L".qvxtest"), S_OK);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kKey, 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
}

}  // namespace
