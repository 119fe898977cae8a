#pragma once
// Media types, format codes and times in the words the dumper prints.

#include <windows.h>
#include <dshow.h>

#include <string>

// "'raw '" for a four-character code (first character in the most significant byte);
// unprintable characters become '?'.
std::string FourCCText(DWORD code);
// "320x240 RGB32, 25 fps" or "PCM 44100 Hz, 2 channels, 16 bits" (or "extensible PCM ...").
std::string MediaTypeText(const AM_MEDIA_TYPE &mt);
// Text in the console's terms: UTF-8, which the terminal behind Wine shows as it is.
std::string Utf8(const std::wstring &text);
