#pragma once

#include <cstdint>

// The few Windows types that the service's interfaces are written in. The
// calling-convention macro is empty: x86-64 has one calling convention.
#define WINAPI
#define STDMETHODCALLTYPE

using HINSTANCE = void *;
using LPWSTR = char16_t *;
using LPCWSTR = const char16_t *;
using BOOL = int;
using UINT = unsigned int;
using DWORD = std::uint32_t;
