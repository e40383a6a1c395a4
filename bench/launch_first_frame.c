/* Preloaded into the demo by bench/launch.sh: notes when the program has
 * initialised SDL and opened its audio device, flushes its first and last
 * progress dot, opens its screen and has flipped
 * its first frame, then ends the program (the rest of the show is not part
 * of the launch). Times are milliseconds since LAUNCH_T0 (CLOCK_REALTIME in
 * microseconds, set by the script just before it starts the program),
 * written as one line to the file LAUNCH_REPORT:
 *
 *   init MS audio MS first-dot MS last-flush MS flushes N screen MS first-frame MS
 *
 * (the last flush is the line feed right after the 61st dot)
 *
 * Only SDL's own entry points are wrapped; the program runs unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static double init_ms = -1.0;
static double audio_ms = -1.0;
static double screen_ms = -1.0;
static double first_dot_ms = -1.0;
static double last_dot_ms = -1.0;
static int dots = 0;

static double since_launch_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const char* t0 = getenv("LAUNCH_T0");
    double start_us = t0 ? atof(t0) : 0.0;
    return ((double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3 - start_us) / 1e3;
}

int SDL_Init(unsigned int flags)
{
    int (*real)(unsigned int) = (int (*)(unsigned int))dlsym(RTLD_NEXT, "SDL_Init");
    int result = real(flags);
    init_ms = since_launch_ms();
    return result;
}

int SDL_OpenAudio(void* desired, void* obtained)
{
    int (*real)(void*, void*) = (int (*)(void*, void*))dlsym(RTLD_NEXT, "SDL_OpenAudio");
    int result = real(desired, obtained);
    audio_ms = since_launch_ms();
    return result;
}

/* Each dot is written with fputc and flushed at once. */
int fflush(FILE* stream)
{
    static int (*real)(FILE*);
    if (!real)
        real = (int (*)(FILE*))dlsym(RTLD_NEXT, "fflush");
    int result = real(stream);
    if (stream == stdout && screen_ms < 0.0) {
        last_dot_ms = since_launch_ms();
        if (first_dot_ms < 0.0)
            first_dot_ms = last_dot_ms;
        ++dots;
    }
    return result;
}

void* SDL_SetVideoMode(int width, int height, int bpp, unsigned int flags)
{
    void* (*real)(int, int, int, unsigned int) = (void* (*)(int, int, int, unsigned int))dlsym(RTLD_NEXT, "SDL_SetVideoMode");
    void* screen = real(width, height, bpp, flags);
    screen_ms = since_launch_ms();
    return screen;
}

int SDL_Flip(void* screen)
{
    int (*real)(void*) = (int (*)(void*))dlsym(RTLD_NEXT, "SDL_Flip");
    int result = real(screen);
    const double first_ms = since_launch_ms();
    const char* path = getenv("LAUNCH_REPORT");
    FILE* report = path ? fopen(path, "w") : NULL;
    if (report) {
        fprintf(report, "init %.2f audio %.2f first-dot %.2f last-flush %.2f flushes %d screen %.2f first-frame %.2f\n", init_ms, audio_ms, first_dot_ms,
                last_dot_ms, dots, screen_ms, first_ms);
        fclose(report);
    }
    fflush(stdout);
    _exit(0);
    return result;
}
