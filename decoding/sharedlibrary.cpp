#include "decoding/sharedlibrary.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

bool SharedLibrary::open(const std::string &path, std::string &why)
{
    if (handle)
        return true;
#ifdef _WIN32
    handle = reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
    if (!handle)
        why = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
#else
    // Its own symbols stay its own: nothing it defines replaces the program's.
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = dlerror();
        why = error ? error : "cannot load " + path;
    }
#endif
    return handle != nullptr;
}

void SharedLibrary::close()
{
    if (!handle)
        return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
    handle = nullptr;
}

void *SharedLibrary::address(const char *name, std::string &why) const
{
#ifdef _WIN32
    void *found = reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
    if (!found)
        why = std::string("no function ") + name;
#else
    dlerror();
    void *found = dlsym(handle, name);
    if (!found) {
        const char *error = dlerror();
        why = error ? error : std::string("no function ") + name;
    }
#endif
    return found;
}
