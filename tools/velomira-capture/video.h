// A finished video file with the music, written with FFmpeg's libraries.
// The container follows the file name: .mp4 (H.264 + AAC, moov atom at the
// front so it streams), .mkv (H.264 + FLAC: the music bit for bit), .webm
// (VP9 + Opus). Pictures are yuv420p in the full range with BT.601
// colours, the conversion of y4m.h; the sound is SongBuffer samples on two
// channels, the same samples the WAV output holds, starting with the first
// frame.
//
// Order of use: video_open (checks the name, opens the encoders and the
// file at the given path, which is the temporary file of an OutputFile),
// video_frame per frame, video_finish; video_close in every case (it frees
// everything; after a failure the caller removes the file). One thread at
// a time.
#pragma once

#include "driver/demo.h"
#include "tools/velomira-capture/y4m.h"

#include <cstdint>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;

struct VideoSettings {
    int32_t width = FrameWidth;
    int32_t height = FrameHeight;
    int32_t fps = 75;
    int32_t crf = -1;       // -1: the container's default
    std::string preset;     // empty: the container's default
    int32_t firstSample = 0;   // the music: SongBuffer[firstSample, endSample)
    int32_t endSample = 0;
};

struct VideoWriter {
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    AVFrame* picture = nullptr;
    AVFrame* sound = nullptr;
    AVPacket* packet = nullptr;
    bool headerWritten = false;
    Y4mTables tables;
    // The music in the audio encoder's rate and sample format, one buffer
    // per plane (one for interleaved formats), and how much of it is sent.
    std::vector<uint8_t> music[2];
    int64_t musicSamples = 0;
    int64_t musicSent = 0;
    int64_t frames = 0;
    int32_t fps = 75;
};

// The container a file name asks for ("mp4", "mkv", "webm"), or empty.
std::string video_container(const std::string& path);
// "" when --crf and --preset (-1 and "" for the defaults) suit the file's
// container, otherwise what is wrong with them.
std::string video_check_settings(const std::string& name, int32_t crf, const std::string& preset);

// name is the user's file name (it picks the container), path where to
// write (a file name, never read as an FFmpeg address); streamed: path is a pipe or a device, which cannot be read back
// or seeked (refused for MP4, whose index is moved to the front at the end).
bool video_open(VideoWriter& writer, const std::string& name, const std::string& path, bool streamed,
                const VideoSettings& settings, const PaletteEntry* palette, std::string& error);
// Encodes a settings.width x settings.height picture of palette indices.
bool video_frame(VideoWriter& writer, const uint8_t* pixels, std::string& error);
// The rest of the music, the encoders' delayed packets and the trailer.
bool video_finish(VideoWriter& writer, std::string& error);
void video_close(VideoWriter& writer);
