// Force-included into every C++ file of the Windows build. libstdc++ declares std::string and
// std::wstring as instantiated in the library, so every use links its string-inst objects
// whole, with an unwind entry for each member. Without those declarations each file
// instantiates the members it uses, and the link keeps only what is called.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE 0
