#include "tools/velomira-capture/video.h"

#include "playback/playback.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

namespace {

// What each container gets. H.264 and VP9 play everywhere that matters;
// AAC is what MP4 players expect, FLAC keeps the music exact in Matroska,
// and WebM allows only Opus or Vorbis (Opus runs at 48 kHz, so the music is
// resampled there and only there).
struct Container {
    const char* name;
    const char* muxer;
    const char* videoCodec;
    const char* audioCodec;
    int32_t audioRate;
    int64_t audioBitrate;   // 0: lossless
    int32_t crf;
    const char* preset;     // x264 preset, or the VP9 deadline
};

// Chosen by measuring the whole show (see the README): the "superfast"
// preset at CRF 18 beats the README's pipe recipe (x264 "medium", CRF 23)
// in PSNR at every point measured in under half its time, at the cost of a
// bigger file; "veryfast" at CRF 19 is 25% smaller but 40% slower, and
// CRF 21 falls below the recipe's quality. VP9's realtime mode is the only
// one fast enough for a whole show; CRF 32 keeps it close to H.264.
constexpr Container Containers[] = {
    {"mp4", "mp4", "libx264", "aac", 44100, 192000, 18, "superfast"},
    {"mkv", "matroska", "libx264", "flac", 44100, 0, 18, "superfast"},
    {"webm", "webm", "libvpx-vp9", "libopus", 48000, 128000, 32, "realtime"},
};

const Container* find_container(const std::string& name)
{
    for (const Container& container : Containers)
        if (name == container.name)
            return &container;
    return nullptr;
}

std::string av_text(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Sends one frame (or the end, for nullptr) to an encoder and writes every
// packet it gives back.
bool encode(VideoWriter& writer, AVCodecContext* codec, AVStream* stream, AVFrame* frame, std::string& error)
{
    int code = avcodec_send_frame(codec, frame);
    if (code < 0) {
        error = std::string("the ") + codec->codec->name + " encoder failed: " + av_text(code);
        return false;
    }
    for (;;) {
        code = avcodec_receive_packet(codec, writer.packet);
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
            return true;
        if (code < 0) {
            error = std::string("the ") + codec->codec->name + " encoder failed: " + av_text(code);
            return false;
        }
        av_packet_rescale_ts(writer.packet, codec->time_base, stream->time_base);
        writer.packet->stream_index = stream->index;
        code = av_interleaved_write_frame(writer.format, writer.packet);
        if (code < 0) {
            error = av_text(code);
            return false;
        }
    }
}

// Sends the music up to sample target (in the encoder's rate), in the
// encoder's frame size; the last frame may be shorter.
bool send_music(VideoWriter& writer, int64_t target, std::string& error)
{
    AVCodecContext* audio = writer.audio;
    bool variable = audio->frame_size == 0 || (audio->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    int32_t frameSize = variable ? 4096 : audio->frame_size;
    bool shortLast = variable || (audio->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
    int32_t bytes = av_get_bytes_per_sample(audio->sample_fmt);
    bool planar = av_sample_fmt_is_planar(audio->sample_fmt);
    int32_t sampleBytes = planar ? bytes : bytes * 2;
    target = std::min(target, writer.musicSamples);
    while (writer.musicSent < target) {
        int32_t count = int32_t(std::min<int64_t>(frameSize, writer.musicSamples - writer.musicSent));
        AVFrame* sound = writer.sound;
        int code = av_frame_make_writable(sound);
        if (code < 0) {
            error = av_text(code);
            return false;
        }
        sound->nb_samples = shortLast ? count : frameSize;
        for (int32_t plane = 0; plane < (planar ? 2 : 1); ++plane) {
            const uint8_t* from = writer.music[plane].data() + size_t(writer.musicSent) * size_t(sampleBytes);
            std::memcpy(sound->data[plane], from, size_t(count) * size_t(sampleBytes));
            // An encoder that wants whole frames gets the last one padded with silence.
            std::memset(sound->data[plane] + size_t(count) * size_t(sampleBytes), 0,
                        size_t(sound->nb_samples - count) * size_t(sampleBytes));
        }
        sound->pts = writer.musicSent;
        if (!encode(writer, audio, writer.audioStream, sound, error))
            return false;
        writer.musicSent += count;
    }
    return true;
}

// The music in the encoder's format: SongBuffer samples on both channels,
// converted (and for Opus resampled) by libswresample.
bool prepare_music(VideoWriter& writer, int32_t first, int32_t end, std::string& error)
{
    AVCodecContext* audio = writer.audio;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* resampler = nullptr;
    int code = swr_alloc_set_opts2(&resampler, &audio->ch_layout, audio->sample_fmt, audio->sample_rate, &stereo,
                                   AV_SAMPLE_FMT_S16, 44100, 0, nullptr);
    if (code >= 0)
        code = swr_init(resampler);
    if (code < 0) {
        swr_free(&resampler);
        error = "cannot convert the music: " + av_text(code);
        return false;
    }
    int32_t count = std::max(end - first, 0);
    std::vector<int16_t> input(size_t(count) * 2);
    for (int32_t i = 0; i < count; ++i)
        input[size_t(2 * i)] = input[size_t(2 * i + 1)] = SongBuffer[first + i];
    int32_t capacity = swr_get_out_samples(resampler, count) + 256;
    bool planar = av_sample_fmt_is_planar(audio->sample_fmt);
    int32_t sampleBytes = av_get_bytes_per_sample(audio->sample_fmt) * (planar ? 1 : 2);
    for (int32_t plane = 0; plane < (planar ? 2 : 1); ++plane)
        writer.music[plane].assign(size_t(capacity) * size_t(sampleBytes), 0);
    uint8_t* out[2] = {writer.music[0].data(), planar ? writer.music[1].data() : nullptr};
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(input.data())};
    int32_t done = swr_convert(resampler, out, capacity, in, count);
    if (done >= 0) {
        // What the resampler still holds back.
        uint8_t* rest[2] = {out[0] + size_t(done) * size_t(sampleBytes),
                            planar ? out[1] + size_t(done) * size_t(sampleBytes) : nullptr};
        int32_t tail = swr_convert(resampler, rest, capacity - done, nullptr, 0);
        done = tail < 0 ? tail : done + tail;
    }
    swr_free(&resampler);
    if (done < 0) {
        error = "cannot convert the music: " + av_text(done);
        return false;
    }
    writer.musicSamples = done;
    return true;
}

// A context for the encoder this FFmpeg has under name, kept in slot (which
// video_close frees); nullptr with error set when there is no such encoder.
AVCodecContext* new_encoder(const char* name, AVCodecContext*& slot, std::string& error)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
        error = std::string("this FFmpeg has no ") + name + " encoder";
        return nullptr;
    }
    slot = avcodec_alloc_context3(codec);
    return slot;
}

AVCodecContext* open_video(VideoWriter& writer, const Container& container, const VideoSettings& settings,
                           std::string& error)
{
    AVCodecContext* video = new_encoder(container.videoCodec, writer.video, error);
    if (!video)
        return nullptr;
    video->width = settings.width;
    video->height = settings.height;
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->time_base = AVRational{1, settings.fps};
    video->framerate = AVRational{settings.fps, 1};
    video->sample_aspect_ratio = AVRational{1, 1};
    // A key frame every four seconds: seeking stays quick and costs little.
    video->gop_size = 4 * settings.fps;
    // Full range, as the Y4M output: the palette's 256 greys keep their
    // steps (studio range would merge some), and players honour the flag.
    video->color_range = AVCOL_RANGE_JPEG;
    video->colorspace = AVCOL_SPC_SMPTE170M;
    video->color_primaries = AVCOL_PRI_SMPTE170M;
    video->color_trc = AVCOL_TRC_SMPTE170M;
    if (writer.format->oformat->flags & AVFMT_GLOBALHEADER)
        video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    int32_t crf = settings.crf >= 0 ? settings.crf : container.crf;
    std::string preset = settings.preset.empty() ? container.preset : settings.preset;
    av_dict_set_int(&options, "crf", crf, 0);
    if (std::strcmp(container.videoCodec, "libx264") == 0) {
        av_dict_set(&options, "preset", preset.c_str(), 0);
    } else {
        // VP9 in constant quality mode: no bitrate target.
        video->bit_rate = 0;
        av_dict_set(&options, "deadline", preset.c_str(), 0);
        av_dict_set(&options, "row-mt", "1", 0);
        if (preset == "realtime")
            av_dict_set(&options, "cpu-used", "8", 0);
    }
    int code = avcodec_open2(video, video->codec, &options);
    // An option the encoder did not take (a misspelt preset) stays behind.
    bool unknown = av_dict_count(options) > 0;
    av_dict_free(&options);
    if (code < 0 || unknown) {
        error = "cannot start the " + std::string(container.videoCodec) + " encoder with --crf " +
                std::to_string(crf) + " --preset " + preset + (code < 0 ? ": " + av_text(code) : "");
        return nullptr;
    }
    return video;
}

AVCodecContext* open_audio(VideoWriter& writer, const Container& container, std::string& error)
{
    AVCodecContext* audio = new_encoder(container.audioCodec, writer.audio, error);
    if (!audio)
        return nullptr;
    audio->sample_rate = container.audioRate;
    av_channel_layout_default(&audio->ch_layout, 2);
    // 16-bit samples where the encoder takes them (FLAC), so nothing is
    // converted; otherwise its first choice.
    const AVCodec* codec = audio->codec;
    audio->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    for (const AVSampleFormat* format = codec->sample_fmts; format && *format != AV_SAMPLE_FMT_NONE; ++format)
        if (*format == AV_SAMPLE_FMT_S16)
            audio->sample_fmt = AV_SAMPLE_FMT_S16;
    audio->bit_rate = container.audioBitrate;
    audio->time_base = AVRational{1, container.audioRate};
    if (writer.format->oformat->flags & AVFMT_GLOBALHEADER)
        audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int code = avcodec_open2(audio, codec, nullptr);
    if (code < 0) {
        error = std::string("cannot start the ") + container.audioCodec + " encoder: " + av_text(code);
        return nullptr;
    }
    return audio;
}

// One stream for each encoder, with its parameters and time base.
void add_streams(VideoWriter& writer)
{
    writer.videoStream = avformat_new_stream(writer.format, nullptr);
    writer.audioStream = avformat_new_stream(writer.format, nullptr);
    avcodec_parameters_from_context(writer.videoStream->codecpar, writer.video);
    avcodec_parameters_from_context(writer.audioStream->codecpar, writer.audio);
    writer.videoStream->time_base = writer.video->time_base;
    writer.videoStream->avg_frame_rate = writer.video->framerate;
    writer.audioStream->time_base = writer.audio->time_base;
}

// The picture and sound frames that every encoded frame is filled into.
bool allocate_frames(VideoWriter& writer, const VideoSettings& settings, std::string& error)
{
    writer.picture = av_frame_alloc();
    writer.picture->format = AV_PIX_FMT_YUV420P;
    writer.picture->width = settings.width;
    writer.picture->height = settings.height;
    writer.sound = av_frame_alloc();
    writer.sound->format = writer.audio->sample_fmt;
    writer.sound->sample_rate = writer.audio->sample_rate;
    av_channel_layout_copy(&writer.sound->ch_layout, &writer.audio->ch_layout);
    bool variable = writer.audio->frame_size == 0 ||
                    (writer.audio->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    writer.sound->nb_samples = variable ? 4096 : writer.audio->frame_size;
    int code = av_frame_get_buffer(writer.picture, 0);
    if (code >= 0)
        code = av_frame_get_buffer(writer.sound, 0);
    if (code < 0) {
        error = av_text(code);
        return false;
    }
    return true;
}

// The file opened at address and the container's header written.
bool write_header(VideoWriter& writer, const Container& container, const std::string& address, std::string& error)
{
    int code = avio_open(&writer.format->pb, address.c_str(), AVIO_FLAG_WRITE);
    if (code < 0) {
        error = av_text(code);
        return false;
    }
    AVDictionary* options = nullptr;
    // MP4 players that stream need the index before the data.
    if (std::strcmp(container.name, "mp4") == 0)
        av_dict_set(&options, "movflags", "+faststart", 0);
    code = avformat_write_header(writer.format, &options);
    av_dict_free(&options);
    if (code < 0) {
        error = av_text(code);
        return false;
    }
    writer.headerWritten = true;
    return true;
}

} // namespace

std::string video_container(const std::string& path)
{
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (extension.size() > 1 && find_container(extension.substr(1)))
        return extension.substr(1);
    return "";
}

std::string video_check_settings(const std::string& name, int32_t crf, const std::string& preset)
{
    const Container* container = find_container(video_container(name));
    if (!container)
        return "cannot tell the container from the name; end it in .mp4, .mkv or .webm";
    bool x264 = std::strcmp(container->videoCodec, "libx264") == 0;
    // Checked here: libx264 prints its own complaint about a preset it does
    // not know, which would make a second line.
    static const char* const X264Presets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                              "medium",    "slow",      "slower",   "veryslow", "placebo"};
    static const char* const Vp9Deadlines[] = {"realtime", "good", "best"};
    bool known = preset.empty();
    for (const char* name : x264 ? std::vector<const char*>(std::begin(X264Presets), std::end(X264Presets))
                                 : std::vector<const char*>(std::begin(Vp9Deadlines), std::end(Vp9Deadlines)))
        known = known || preset == name;
    if (!known)
        return "--preset " + preset + ": " +
               (x264 ? "H.264 takes ultrafast, superfast, veryfast, faster, fast, medium, slow, slower, veryslow "
                       "or placebo"
                     : "VP9 takes realtime, good or best");
    int32_t maxCrf = x264 ? 51 : 63;
    if (crf > maxCrf)
        return "--crf " + std::to_string(crf) + ": " + (x264 ? "H.264" : "VP9") + " takes 0 to " +
               std::to_string(maxCrf);
    return "";
}

bool video_open(VideoWriter& writer, const std::string& name, const std::string& path, bool streamed,
                const VideoSettings& settings, const PaletteEntry* palette, std::string& error)
{
    const Container* container = find_container(video_container(name));
    if (!container) {
        error = "cannot tell the container from the name; end it in .mp4, .mkv or .webm";
        return false;
    }
    if (streamed && std::strcmp(container->name, "mp4") == 0) {
        error = "an MP4 file is rewritten when it is finished, so it must be a regular file; "
                "use .mkv or .webm for a pipe or a device";
        return false;
    }
    // Errors are reported by the caller, one line each; the libraries' own
    // chatter would only bury them.
    av_log_set_level(AV_LOG_QUIET);
    writer.fps = settings.fps;
    y4m_build_tables(writer.tables, palette);
    // FFmpeg reads a name as an address: "pipe:a.mkv" would go to standard
    // output and "file:f.mkv" to "f.mkv". With "file:" in front a path is
    // always that file. The muxer keeps the address and the MP4 muxer opens
    // it again to move its index to the front, so both get the same one.
    const std::string address = "file:" + path;
    int code = avformat_alloc_output_context2(&writer.format, nullptr, container->muxer, address.c_str());
    if (code < 0) {
        error = "cannot start the " + std::string(container->muxer) + " muxer: " + av_text(code);
        return false;
    }
    writer.packet = av_packet_alloc();
    if (!open_video(writer, *container, settings, error) || !open_audio(writer, *container, error))
        return false;
    add_streams(writer);
    return allocate_frames(writer, settings, error) &&
           prepare_music(writer, settings.firstSample, settings.endSample, error) &&
           write_header(writer, *container, address, error);
}

bool video_frame(VideoWriter& writer, const uint8_t* pixels, std::string& error)
{
    AVFrame* picture = writer.picture;
    int code = av_frame_make_writable(picture);
    if (code < 0) {
        error = av_text(code);
        return false;
    }
    y4m_convert_planes(writer.tables, pixels, picture->width, picture->height, picture->data[0], picture->linesize[0],
                       picture->data[1], picture->data[2], picture->linesize[1]);
    picture->pts = writer.frames;
    // The music that plays until this frame ends goes in first, so the
    // muxer can interleave as it goes.
    int64_t musicEnd = av_rescale(writer.frames + 1, writer.audio->sample_rate, writer.fps);
    if (!send_music(writer, musicEnd, error) || !encode(writer, writer.video, writer.videoStream, picture, error))
        return false;
    ++writer.frames;
    return true;
}

bool video_finish(VideoWriter& writer, std::string& error)
{
    if (!send_music(writer, writer.musicSamples, error) ||
        !encode(writer, writer.audio, writer.audioStream, nullptr, error) ||
        !encode(writer, writer.video, writer.videoStream, nullptr, error))
        return false;
    int code = av_write_trailer(writer.format);
    writer.headerWritten = false;
    if (code >= 0)
        code = avio_closep(&writer.format->pb);
    if (code < 0) {
        error = av_text(code);
        return false;
    }
    return true;
}

void video_close(VideoWriter& writer)
{
    if (writer.format) {
        if (writer.format->pb)
            avio_closep(&writer.format->pb);
        avformat_free_context(writer.format);
    }
    avcodec_free_context(&writer.video);
    avcodec_free_context(&writer.audio);
    av_frame_free(&writer.picture);
    av_frame_free(&writer.sound);
    av_packet_free(&writer.packet);
    writer = VideoWriter{};
}
