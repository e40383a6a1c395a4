// The SDL 1.2 functions velomira-song uses (its `play`, through the frame
// loop's device opening), loaded from libSDL-1.2.so.0 on the first call.
//
// Linked in the usual way, libSDL-1.2 (sdl12-compat) loads SDL 2 and the
// libraries behind it (X11, ALSA, PulseAudio, D-Bus...) while the program
// starts, some 8 ms before main() even where nothing plays: every `check`,
// `render` or `print` paid for it. These definitions stand in for the
// library's at link time and open it only when a command first needs SDL.
// Should it not be there, SDL_Init fails and SDL_GetError says why, the
// message the caller already prints for a failed start.
#include <SDL.h>

#include <dlfcn.h>

#include <string>

namespace {

std::string LoadError;

void* sdl_library()
{
    static void* const library = [] {
        void* opened = dlopen("libSDL-1.2.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!opened)
            LoadError = dlerror();
        return opened;
    }();
    return library;
}

// The library's own function `name`, of the type of our stand-in for it;
// null when the library or the function is missing.
template <typename Function>
Function* sdl_function(Function*, const char* name)
{
    void* library = sdl_library();
    return library ? reinterpret_cast<Function*>(dlsym(library, name)) : nullptr;
}

}   // namespace

// Each stand-in calls the library's function of the same name, or, without
// the library, does what SDL does when the subsystem is not started.
#define SDL_ON_DEMAND(result, name, parameters, arguments, otherwise)          \
    result name parameters                                                     \
    {                                                                          \
        static auto* const function = sdl_function(&name, #name);              \
        if (!function)                                                         \
            return otherwise;                                                  \
        return function arguments;                                             \
    }

SDL_ON_DEMAND(int, SDL_Init, (Uint32 flags), (flags), -1)
SDL_ON_DEMAND(void, SDL_Quit, (), (), void())
SDL_ON_DEMAND(int, SDL_OpenAudio, (SDL_AudioSpec * desired, SDL_AudioSpec* obtained), (desired, obtained), -1)
SDL_ON_DEMAND(void, SDL_PauseAudio, (int pause_on), (pause_on), void())
SDL_ON_DEMAND(void, SDL_LockAudio, (), (), void())
SDL_ON_DEMAND(void, SDL_UnlockAudio, (), (), void())
SDL_ON_DEMAND(void, SDL_CloseAudio, (), (), void())
SDL_ON_DEMAND(SDL_Surface*, SDL_SetVideoMode, (int width, int height, int bpp, Uint32 flags),
              (width, height, bpp, flags), nullptr)
SDL_ON_DEMAND(int, SDL_SetColors, (SDL_Surface * surface, SDL_Color* colors, int first, int count),
              (surface, colors, first, count), 0)
SDL_ON_DEMAND(void, SDL_WM_SetCaption, (const char* title, const char* icon), (title, icon), void())
SDL_ON_DEMAND(int, SDL_LockSurface, (SDL_Surface * surface), (surface), -1)
SDL_ON_DEMAND(void, SDL_UnlockSurface, (SDL_Surface * surface), (surface), void())
SDL_ON_DEMAND(int, SDL_Flip, (SDL_Surface * screen), (screen), -1)
SDL_ON_DEMAND(int, SDL_PollEvent, (SDL_Event * event), (event), 0)

char* SDL_GetError()
{
    static auto* const function = sdl_function(&SDL_GetError, "SDL_GetError");
    if (function)
        return function();
    // SDL's own type; nothing writes through it.
    return LoadError.empty() ? const_cast<char*>("SDL is not loaded") : LoadError.data();
}
