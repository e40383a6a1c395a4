#include "tools/velomira-capture/y4m.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define Y4M_AVX512 1
#endif

namespace {

uint8_t to_byte(double v)
{
    return uint8_t(std::clamp(std::lround(v), 0l, 255l));
}

// The same result as to_byte for a float sum scaled by 0.25, without the
// library call: such a value has at most 24 significant bits, so v + 0.5 is
// exact in double precision and truncating it rounds half away from zero
// exactly as lround does for v >= 0.
inline uint8_t average_to_byte(float sum)
{
    double v = sum * 0.25;
    if (v <= 0)
        return 0;
    if (v >= 255)
        return 255;
    return uint8_t(int32_t(v + 0.5));
}

// The chroma of the 2x2 block whose top-left pixel is top[x].
inline void convert_block(const Y4mTables& tables, const uint8_t* top, const uint8_t* bottom, int32_t x,
                          uint8_t* cb, uint8_t* cr)
{
    uint8_t a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
    if (a == b && a == c && a == d) {
        cb[x / 2] = tables.cbFlat[a];
        cr[x / 2] = tables.crFlat[a];
    } else {
        // Left to right in single precision: the order the output depends on.
        cb[x / 2] = average_to_byte(tables.cb[a] + tables.cb[b] + tables.cb[c] + tables.cb[d]);
        cr[x / 2] = average_to_byte(tables.cr[a] + tables.cr[b] + tables.cr[c] + tables.cr[d]);
    }
}

// Columns from to width of one pair of rows: both rows' luma and the chroma
// row between them.
void convert_pair(const Y4mTables& tables, const uint8_t* top, const uint8_t* bottom, int32_t from, int32_t width,
                  uint8_t* yTop, uint8_t* yBottom, uint8_t* cb, uint8_t* cr)
{
    for (int32_t x = from; x < width; x += 2) {
        yTop[x] = tables.luma[top[x]];
        yTop[x + 1] = tables.luma[top[x + 1]];
        yBottom[x] = tables.luma[bottom[x]];
        yBottom[x + 1] = tables.luma[bottom[x + 1]];
        convert_block(tables, top, bottom, x, cb, cr);
    }
}

#if defined(Y4M_AVX512)

// With AVX-512 VBMI a 256-entry byte table is four registers and a lookup of
// 64 indices two two-register permutes and a blend on the index's top bit,
// which makes the luma and the one-colour blocks a few instructions per 64
// pixels. The blocks of more than one colour (about a tenth of them) keep the
// float sums of convert_block: their four indices are packed together
// (VBMI2's compress), their table values read as four byte lookups each,
// summed sixteen blocks at a time with the same single-precision additions
// in the same order, and the bytes put back over the one-colour guesses
// (expand).
bool has_avx512_vbmi2()
{
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2"));
    return yes;
}

#define Y4M_AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))

// GCC 12's own intrinsics leave their unused source register undefined and
// then warn about it wherever they are inlined (fixed in GCC 13).
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

struct ByteTable {
    __m512i part[4];
};

Y4M_AVX512_TARGET inline ByteTable load_table(const uint8_t* table)
{
    return {{_mm512_loadu_si512(table), _mm512_loadu_si512(table + 64), _mm512_loadu_si512(table + 128),
             _mm512_loadu_si512(table + 192)}};
}

// The permutes read the index's low seven bits; its top bit picks the half.
Y4M_AVX512_TARGET inline __m512i look_up(const ByteTable& table, __m512i index)
{
    __m512i low = _mm512_permutex2var_epi8(table.part[0], index, table.part[1]);
    __m512i high = _mm512_permutex2var_epi8(table.part[2], index, table.part[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
}

// average_to_byte in sixteen lanes. v = sum * 0.25 is exact in single
// precision (a power of two, far from the subnormals), and so are its whole
// part t and v - t; v + 0.5 truncated is t + (v - t >= 0.5). Clamping v to
// 0..255 first gives the two ends.
Y4M_AVX512_TARGET inline __m128i average_to_bytes(__m512 sum)
{
    __m512 v = _mm512_mul_ps(sum, _mm512_set1_ps(0.25f));
    v = _mm512_min_ps(_mm512_max_ps(v, _mm512_setzero_ps()), _mm512_set1_ps(255.0f));
    __m512 whole = _mm512_roundscale_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    __mmask16 up = _mm512_cmp_ps_mask(_mm512_sub_ps(v, whole), _mm512_set1_ps(0.5f), _CMP_GE_OQ);
    __m512i bytes = _mm512_cvttps_epi32(whole);
    bytes = _mm512_mask_add_epi32(bytes, up, bytes, _mm512_set1_epi32(1));
    return _mm512_cvtepi32_epi8(bytes);
}

// 64 lookups in a float table kept as four byte tables, one for each byte
// of the numbers: four byte lookups, then two rounds of interleaving put
// each number's bytes back together. The interleaving works within 128-bit
// lanes, so out[k] lane j is the number for index byte 16 * (j / 4) +
// 4 * k + j % 4.
Y4M_AVX512_TARGET inline void look_up_floats(const uint8_t (*planes)[256], __m512i index, __m512 out[4])
{
    __m512i byte0 = look_up(load_table(planes[0]), index), byte1 = look_up(load_table(planes[1]), index);
    __m512i byte2 = look_up(load_table(planes[2]), index), byte3 = look_up(load_table(planes[3]), index);
    __m512i low01 = _mm512_unpacklo_epi8(byte0, byte1), high01 = _mm512_unpackhi_epi8(byte0, byte1);
    __m512i low23 = _mm512_unpacklo_epi8(byte2, byte3), high23 = _mm512_unpackhi_epi8(byte2, byte3);
    out[0] = _mm512_castsi512_ps(_mm512_unpacklo_epi16(low01, low23));
    out[1] = _mm512_castsi512_ps(_mm512_unpackhi_epi16(low01, low23));
    out[2] = _mm512_castsi512_ps(_mm512_unpacklo_epi16(high01, high23));
    out[3] = _mm512_castsi512_ps(_mm512_unpackhi_epi16(high01, high23));
}

// The blocks of more than one colour in up to 512 columns of a pair of rows,
// as packed indices: corner[0][i] is the top left pixel of the i-th such
// block, then top right, bottom left, bottom right; cb and cr their chroma.
// Each array has room for a whole 32-byte store or load past the last block.
struct MixedBlocks {
    static constexpr int32_t Columns = 512;
    alignas(64) uint8_t corner[4][Columns / 2 + 32];
    alignas(64) uint8_t cb[Columns / 2 + 32];
    alignas(64) uint8_t cr[Columns / 2 + 32];
    uint32_t where[Columns / 64];   // per 64 columns: bit j for block j
    int32_t count = 0;
};

// Columns x to x + 63: the luma, the chroma as if every block were of one
// colour, and the blocks that are not packed into mixed.
Y4M_AVX512_TARGET inline void convert_columns(const ByteTable& luma, const ByteTable& cbFlat,
                                              const ByteTable& crFlat, const uint8_t* top, const uint8_t* bottom,
                                              int32_t x, uint8_t* yTop, uint8_t* yBottom, uint8_t* cb, uint8_t* cr,
                                              MixedBlocks& mixed, int32_t chunk)
{
    __m512i up = _mm512_loadu_si512(top + x);
    __m512i down = _mm512_loadu_si512(bottom + x);
    _mm512_storeu_si512(yTop + x, look_up(luma, up));
    _mm512_storeu_si512(yBottom + x, look_up(luma, down));
    // The even bytes of a lookup of the top row.
    _mm256_storeu_si256((__m256i*)(cb + x / 2), _mm512_cvtepi16_epi8(look_up(cbFlat, up)));
    _mm256_storeu_si256((__m256i*)(cr + x / 2), _mm512_cvtepi16_epi8(look_up(crFlat, up)));
    // Block j is of one colour when its top pair equals its bottom pair and
    // the top pair's two bytes are equal (the pair equals itself rotated by
    // a byte).
    __m512i swapped = _mm512_shldi_epi16(up, up, 8);
    uint32_t blocks = ~(_mm512_cmpeq_epi16_mask(up, down) & _mm512_cmpeq_epi16_mask(up, swapped));
    mixed.where[chunk] = blocks;
    if (blocks == 0)
        return;
    __m256i corners[4] = {_mm512_cvtepi16_epi8(up), _mm512_cvtepi16_epi8(_mm512_srli_epi16(up, 8)),
                          _mm512_cvtepi16_epi8(down), _mm512_cvtepi16_epi8(_mm512_srli_epi16(down, 8))};
    for (int32_t k = 0; k < 4; ++k)
        _mm256_storeu_si256((__m256i*)(mixed.corner[k] + mixed.count),
                            _mm256_maskz_compress_epi8(blocks, corners[k]));
    mixed.count += __builtin_popcount(blocks);
}

// The packed blocks' chroma, sixteen at a time; past count the corners are
// zeros (the compress fills with them), harmless indices.
Y4M_AVX512_TARGET inline void sum_mixed(const Y4mTables& tables, MixedBlocks& mixed)
{
    // Corner k of block j goes to 32-bit group 4 * (j / 4) + k, byte j % 4,
    // where look_up_floats reads it back as lane j of its k-th result.
    const __m512i arrange = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    for (int32_t i = 0; i < mixed.count; i += 16) {
        __m512i corners = _mm512_castsi128_si512(_mm_loadu_si128((const __m128i*)(mixed.corner[0] + i)));
        corners = _mm512_inserti32x4(corners, _mm_loadu_si128((const __m128i*)(mixed.corner[1] + i)), 1);
        corners = _mm512_inserti32x4(corners, _mm_loadu_si128((const __m128i*)(mixed.corner[2] + i)), 2);
        corners = _mm512_inserti32x4(corners, _mm_loadu_si128((const __m128i*)(mixed.corner[3] + i)), 3);
        corners = _mm512_permutexvar_epi32(arrange, corners);
        __m512 value[4];
        look_up_floats(tables.cbBytes, corners, value);
        // Left to right, as convert_block adds.
        __m512 sum = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(value[0], value[1]), value[2]), value[3]);
        _mm_store_si128((__m128i*)(mixed.cb + i), average_to_bytes(sum));
        look_up_floats(tables.crBytes, corners, value);
        sum = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(value[0], value[1]), value[2]), value[3]);
        _mm_store_si128((__m128i*)(mixed.cr + i), average_to_bytes(sum));
    }
}

// The packed blocks' bytes put back in their places, over the one-colour guesses.
Y4M_AVX512_TARGET inline void place_mixed(const MixedBlocks& mixed, int32_t from, int32_t chunks, uint8_t* cb,
                                          uint8_t* cr)
{
    int32_t at = 0;
    for (int32_t chunk = 0; chunk < chunks; ++chunk) {
        uint32_t blocks = mixed.where[chunk];
        if (blocks == 0)
            continue;
        __m256i* cbAt = (__m256i*)(cb + from / 2 + 32 * chunk);
        __m256i* crAt = (__m256i*)(cr + from / 2 + 32 * chunk);
        __m256i cbMixed = _mm256_loadu_si256((const __m256i*)(mixed.cb + at));
        __m256i crMixed = _mm256_loadu_si256((const __m256i*)(mixed.cr + at));
        _mm256_storeu_si256(cbAt, _mm256_mask_expand_epi8(_mm256_loadu_si256(cbAt), blocks, cbMixed));
        _mm256_storeu_si256(crAt, _mm256_mask_expand_epi8(_mm256_loadu_si256(crAt), blocks, crMixed));
        at += __builtin_popcount(blocks);
    }
}

// A pair of rows 64 columns at a time; returns the columns done.
Y4M_AVX512_TARGET int32_t convert_pair_avx512(const Y4mTables& tables, const uint8_t* top, const uint8_t* bottom,
                                              int32_t width, uint8_t* yTop, uint8_t* yBottom, uint8_t* cb,
                                              uint8_t* cr)
{
    const ByteTable luma = load_table(tables.luma);
    const ByteTable cbFlat = load_table(tables.cbFlat);
    const ByteTable crFlat = load_table(tables.crFlat);
    MixedBlocks mixed;
    int32_t x = 0;
    while (x + 64 <= width) {
        int32_t from = x, chunks = 0;
        mixed.count = 0;
        for (; x + 64 <= width && chunks < MixedBlocks::Columns / 64; x += 64, ++chunks)
            convert_columns(luma, cbFlat, crFlat, top, bottom, x, yTop, yBottom, cb, cr, mixed, chunks);
        if (mixed.count > 0) {
            sum_mixed(tables, mixed);
            place_mixed(mixed, from, chunks, cb, cr);
        }
    }
    return x;
}

#pragma GCC diagnostic pop
#endif

} // namespace

void y4m_build_tables(Y4mTables& tables, const PaletteEntry* palette)
{
    for (int i = 0; i < 256; ++i) {
        double r = palette[i].r, g = palette[i].g, b = palette[i].b;
        tables.luma[i] = to_byte(0.299 * r + 0.587 * g + 0.114 * b);
        tables.cb[i] = float(128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b);
        tables.cr[i] = float(128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b);
        tables.cbFlat[i] = average_to_byte(tables.cb[i] + tables.cb[i] + tables.cb[i] + tables.cb[i]);
        tables.crFlat[i] = average_to_byte(tables.cr[i] + tables.cr[i] + tables.cr[i] + tables.cr[i]);
        uint8_t cb[4], cr[4];
        std::memcpy(cb, &tables.cb[i], 4);
        std::memcpy(cr, &tables.cr[i], 4);
        for (int k = 0; k < 4; ++k) {
            tables.cbBytes[k][i] = cb[k];
            tables.crBytes[k][i] = cr[k];
        }
    }
}

std::string y4m_header(int32_t fps, int32_t width, int32_t height)
{
    // C420jpeg: chroma centred between the four luma samples it covers;
    // the colour range is full, as the conversion is.
    return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" + std::to_string(fps) +
           ":1 Ip A1:1 C420jpeg XCOLORRANGE=FULL\n";
}

void y4m_convert_planes(const Y4mTables& tables, const uint8_t* pixels, int32_t width, int32_t height, uint8_t* y,
                        int32_t yStride, uint8_t* cb, uint8_t* cr, int32_t chromaStride)
{
    // One pass: each pair of rows is read once for its luma and its chroma
    // while it is in the cache.
    for (int32_t row = 0; row < height; row += 2) {
        const uint8_t* top = pixels + size_t(row) * size_t(width);
        const uint8_t* bottom = top + width;
        uint8_t* yTop = y + size_t(row) * size_t(yStride);
        uint8_t* yBottom = yTop + yStride;
        uint8_t* cbRow = cb + size_t(row / 2) * size_t(chromaStride);
        uint8_t* crRow = cr + size_t(row / 2) * size_t(chromaStride);
        int32_t done = 0;
#if defined(Y4M_AVX512)
        if (has_avx512_vbmi2())
            done = convert_pair_avx512(tables, top, bottom, width, yTop, yBottom, cbRow, crRow);
#endif
        convert_pair(tables, top, bottom, done, width, yTop, yBottom, cbRow, crRow);
    }
}

void y4m_convert(const Y4mTables& tables, const uint8_t* pixels, uint8_t* out)
{
    uint8_t* cb = out + FramePixels;
    y4m_convert_planes(tables, pixels, FrameWidth, FrameHeight, out, FrameWidth, cb, cb + FramePixels / 4,
                       FrameWidth / 2);
}

void y4m_prepare_stream(std::FILE* out)
{
    // A pipe holds 64 KiB unless asked for more; a frame is 450 KiB, so the
    // writer would wait for the reader several times a frame. 1 MiB (the
    // most an unprivileged process may ask for by default) takes two whole
    // frames. Refused or not a pipe: it stays as it is.
#if defined(F_SETPIPE_SZ)
    fcntl(fileno(out), F_SETPIPE_SZ, 1 << 20);
#else
    (void)out;
#endif
}

bool y4m_frame(std::FILE* out, const Y4mTables& tables, const uint8_t* pixels, int32_t width, int32_t height,
               uint8_t* buffer)
{
    size_t area = size_t(width) * size_t(height);
    uint8_t* planes = buffer + Y4mFrameMarker;
    uint8_t* cb = planes + area;
    y4m_convert_planes(tables, pixels, width, height, planes, width, cb, cb + area / 4, width / 2);
    std::memcpy(buffer, "FRAME\n", Y4mFrameMarker);
    // The whole frame in one call straight to the descriptor: through the
    // stream it would be cut into the buffer's pieces. What the stream
    // still holds (the header) goes first.
    if (std::fflush(out) != 0)
        return false;
    const uint8_t* at = buffer;
    size_t left = Y4mFrameMarker + area * 3 / 2;
    while (left > 0) {
        // A signal that ends the run fails a blocked write, as the stream
        // would (no handler restarts it); a short write goes on.
        ssize_t written = ::write(fileno(out), at, left);
        if (written <= 0)
            return false;
        at += written;
        left -= size_t(written);
    }
    return true;
}
