// The registry walk that unregistration uses, on a scratch tree of the current user.
#include <windows.h>
#include <gtest/gtest.h>

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
