#pragma once

#include "OrvError.h"
#include "WinAutoHandle.h"
#include "tstrings.h"

#include <windows.h>

#include <stdexcept>
#include <string>

// Releases one module reference; FreeLibrary's result is not examined.
void freeLibrary(HMODULE module);
using AutoModule = AutoOwner<HMODULE, freeLibrary>;

// One reference to a library of the system directory, loaded by full path so that the
// loader's search order (and a planted DLL in it) never comes into play.
class Dll {
public:
    // libName without extension, such as "ntdll": the loader appends its default one.
    explicit Dll(const tstrings::StringBuilder& libName);
    // Takes a reference of its own to the module that is already loaded; loads nothing.
    Dll(const Dll& other);
    Dll& operator=(const Dll&) = delete;

    const std::wstring& getPath() const { return path; }
    HMODULE getHandle() const { return module.get(); }

private:
    std::wstring path;
    AutoModule module;
};

// A function of a library bound by name, for functions that older systems may lack. It keeps
// the library loaded while it exists.
template <class Fn>
class DllFunction {
public:
    DllFunction(const Dll& library, const tstrings::StringBuilder& functionName)
        : lib(library), fn(nullptr), name(functionName.str()) {
        // Through void (*)(): GCC warns on a direct cast between unrelated function types.
        fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(lib.getHandle(), name.c_str())));
    }

    bool isAvailable() const { return fn != nullptr; }

    operator Fn() const {
        if (fn == nullptr) {
            // The compilers name this operator differently for each instantiation.
            ORV_THROW_IN(
                "DllFunction::operator Fn",
                std::runtime_error(
                    (tstrings::StringBuilder(name) << "() function is not available in " << lib.getPath()).str()));
        }
        return fn;
    }

private:
    Dll lib;
    Fn fn;
    std::string name;
};
