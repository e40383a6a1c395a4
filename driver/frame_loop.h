// The frame loop's one pass, shared by the native program (which calls it in
// a while loop) and the browser build (which hands it to the browser's
// animation loop): lock the screen, read the levels at the playing sample,
// draw the frame, unlock, flip, then drain the input events.
//
// Owns FrameLoop: the screen, the clock reading t0 at which playback started
// and the count of passes. Order of use: open the screen, set its palette,
// unpause audio, frame_loop_start(screen) (frame_loop_open_screen and
// frame_loop_begin_show do these); then frame_loop_step() until
// QuitRequested is set; frame_loop_rate() gives the average rate of passes.
// Main thread only. Talks to SDL.
#pragma once

#include "playback/playback.h"

#include <cstdint>
#include <string>

struct SDL_Surface;

inline constexpr int32_t FrameLoopMaxKeys = 16;

struct FrameLoopState {
    SDL_Surface* screen = nullptr;
    uint32_t t0 = 0;       // playback clock reading when playback started
    int32_t frames = 0;    // loop passes, drawn or not
    // The live preview takes the keys itself: then a key press is queued
    // here (SDL key symbols, in order) instead of ending the show, and a
    // mouse button does nothing.
    bool keysTaken = false;
    int32_t keys[FrameLoopMaxKeys] = {};
    int32_t keyCount = 0;
};
inline FrameLoopState FrameLoop;

// SDL 1.2's audio callback, with plain integer types.
using AudioCallback = void (*)(void* userdata, uint8_t* stream, int len);

// Opens the audio device, paused, in the song's format (44100 Hz, 16-bit,
// stereo) with buffers of `frames` frames and the given callback; false with
// SDL's reason. The one device opening of every program that plays sound.
bool frame_loop_open_audio_device(int32_t frames, AudioCallback callback, std::string& reason);
// The demo's: 4096-frame buffers and the song's callback (or another that
// ends in it); without a device the show runs silently, after one line on
// stderr.
void frame_loop_open_audio(AudioCallback callback = song_audio_callback);
// Opens the 640x480 8-bit screen with SDL video-mode flags, gives it the
// DemoPalette (built by demo_prepare_show) and the caption "Velomira". On
// failure writes one line on stderr and returns nullptr.
SDL_Surface* frame_loop_open_screen(uint32_t flags);
// Takes the playback clock's reading t0 (its first reading starts it) and
// resets the pass count.
void frame_loop_start(SDL_Surface* screen);
// Starts the show on an open screen: unpauses the audio device, then
// frame_loop_start, so the clock's zero is the moment the song starts.
void frame_loop_begin_show(SDL_Surface* screen);
// One pass of the frame loop. A key or mouse-button press sets QuitRequested
// (unless keysTaken).
void frame_loop_step();
// The events alone, for a paused preview: no frame is drawn.
void frame_loop_drain_events();
// Milliseconds of show time: the playback clock since t0.
uint32_t frame_loop_elapsed();
// Passes per second since frame_loop_start, as the program reports it.
double frame_loop_rate();
