// A window as the screen shows it, saved as a PNG file (stored, not compressed: the
// test program has no compression library, and a viewer needs none).
#pragma once
#include <windows.h>

#include <string>

bool SaveWindowPng(HWND window, const std::string& path);
