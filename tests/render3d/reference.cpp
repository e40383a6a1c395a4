#include "tests/render3d/reference.h"

#include "render3d/r3d.h"

#include <cmath>
#include <cstring>

void ref_copy_from_context(RefCanvas& canvas) {
    std::memcpy(canvas.pixels, R3d.target, sizeof canvas.pixels);
    std::memcpy(canvas.depth, R3d.DepthBuffer, sizeof canvas.depth);
}

void ref_draw_line(RefCanvas& canvas, uint32_t width, uint8_t colour,
                   float x0, float y0, float z0, float x1, float y1, float z1) {
    if (x0 < 0 && x1 < 0) return;
    if (y0 < 0 && y1 < 0) return;
    if (x0 >= 640 && x1 >= 640) return;
    if (y0 >= 480 && y1 >= 480) return;
    float dx = x1 - x0;
    float dy = y1 - y0;
    float dz = z1 - z0;
    z0 = z0 + 0.01f;
    z1 = z1 + 0.01f;
    if (std::fabs(dx) > std::fabs(dy)) {
        float xs = x0, ys = y0, zs = z0, xe = x1;
        if (x1 < x0) {
            xs = x1; ys = y1; zs = z1; xe = x0;
        }
        float ystep = dy / dx;
        float zstep = dz / dx;
        int first = (int)(xs + 0.5f);
        int last = (int)(xe + 0.5f);
        if (last > 639) last = 639;
        if (first > last) return;
        int yf = (int)((ys + 0.5f) * 65536.0f);
        int yfstep = (int)(ystep * 65536.0f);
        int depth = (int)(zs * 2048.0f);
        int depthstep = (int)(zstep * 2048.0f);
        for (int x = first; x <= last; x++) {
            if (x >= 0) {
                int centre = yf >> 16;
                for (uint32_t k = 0; k < width; k++) {
                    int y = centre - (int)(width / 2) + (int)k;
                    if (y >= 0 && y <= 479 && canvas.depth[y * 640 + x] < depth) {
                        canvas.pixels[y * 640 + x] = colour;
                        canvas.depth[y * 640 + x] = (int16_t)depth;
                    }
                }
            }
            yf += yfstep;
            depth += depthstep;
        }
    } else {
        if (y0 == y1) return;
        float ys = y0, xs = x0, zs = z0, ye = y1;
        if (y1 < y0) {
            ys = y1; xs = x1; zs = z1; ye = y0;
        }
        float xstep = dx / dy;
        float zstep = dz / dy;
        int first = (int)(ys + 0.5f);
        int last = (int)(ye + 0.5f);
        if (last > 479) last = 479;
        if (first > last) return;
        int xf = (int)((xs + 0.5f) * 65536.0f);
        int xfstep = (int)(xstep * 65536.0f);
        int depth = (int)(zs * 2048.0f);
        int depthstep = (int)(zstep * 2048.0f);
        for (int y = first; y <= last; y++) {
            if (y >= 0) {
                int centre = xf >> 16;
                for (uint32_t k = 0; k < width; k++) {
                    int x = centre - (int)(width / 2) + (int)k;
                    if (x >= 0 && x <= 639 && canvas.depth[y * 640 + x] < depth) {
                        canvas.pixels[y * 640 + x] = colour;
                        canvas.depth[y * 640 + x] = (int16_t)depth;
                    }
                }
            }
            xf += xfstep;
            depth += depthstep;
        }
    }
}

void ref_fill_screen(RefCanvas& canvas, const float (*screen)[3], int n, uint8_t colour) {
    for (int row = 0; row < 480; row++) {
        canvas.rowLeftX[row] = 100000.0f;
        canvas.rowRightX[row] = -100000.0f;
    }
    int minY = 100000, maxY = -100000, minX = 100000, maxX = -100000;
    for (int k = 0; k < n; k++) {
        int x = (int)screen[k][0];
        int y = (int)screen[k][1];
        if (y < minY) minY = y;
        if (y > maxY) maxY = y;
        if (x < minX) minX = x;
        if (x > maxX) maxX = x;
    }
    if (maxY < 0 || minY > 479 || maxX < 0 || minX > 639) return;
    for (int k = 0; k < n; k++) {
        const float* a = screen[k];
        const float* b = screen[(k + 1) % n];
        if (a[1] < 0 && b[1] < 0) continue;
        if (a[1] >= 480 && b[1] >= 480) continue;
        if (a[1] > b[1]) {
            const float* t = a;
            a = b;
            b = t;
        }
        float h = (b[1] - a[1]) + 1;
        float dx = 0, dz = 0;
        if (h > 1) {
            dx = (b[0] - a[0]) / h;
            dz = (b[2] - a[2]) / h;
        }
        int first = (int)a[1];
        int last = (int)b[1];
        if (last > 479) last = 479;
        if (first > last) continue;
        float x = a[0];
        float z = a[2];
        for (int row = first; row <= last; row++) {
            if (row >= 0) {
                if (x >= canvas.rowRightX[row]) {
                    canvas.rowRightX[row] = x;
                    canvas.rowRightZ[row] = z;
                }
                if (x <= canvas.rowLeftX[row]) {
                    canvas.rowLeftX[row] = x;
                    canvas.rowLeftZ[row] = z;
                }
            }
            x += dx;
            z += dz;
        }
    }
    int top = minY < 0 ? 0 : minY;
    int bottom = maxY > 479 ? 479 : maxY;
    for (int row = top; row <= bottom; row++) {
        int16_t depth = (int16_t)(int)(canvas.rowLeftZ[row] * 2048.0f);
        float dzdx = 0;
        if (canvas.rowRightX[row] != canvas.rowLeftX[row]) {
            dzdx = (canvas.rowRightZ[row] - canvas.rowLeftZ[row]) / (canvas.rowRightX[row] - canvas.rowLeftX[row]);
        }
        int16_t step = (int16_t)(int)(dzdx * 2048.0f);
        int start = (int)(canvas.rowLeftX[row] + 0.5f);
        int end = (int)(canvas.rowRightX[row] + 0.5f);
        if (end > 640) end = 640;
        for (int x = start; x < end; x++) {
            if (x >= 0 && depth >= canvas.depth[row * 640 + x]) {
                canvas.pixels[row * 640 + x] = colour;
                canvas.depth[row * 640 + x] = depth;
            }
            depth = (int16_t)(depth + step);
        }
    }
}

namespace {

bool ref_in_front(int i) {
    return R3d.VertexPositions[i][2] <= -0.01;
}

void ref_project(int i, float& sx, float& sy) {
    float x = R3d.VertexPositions[i][0];
    float y = R3d.VertexPositions[i][1];
    float z = R3d.VertexPositions[i][2];
    sx = 320.0f + 320.0f * x / (-z);
    sy = 240.0f - 320.0f * y / (-z);
}

uint8_t ref_colour(int i) {
    float r = R3d.VertexColors[i][0];
    float g = R3d.VertexColors[i][1];
    float b = R3d.VertexColors[i][2];
    if (R3d.lighting) {
        float d = (float)(1.2 * R3d.VertexNormals[i][2]);
        float cr = r * R3d.lightColour[0];
        float cg = g * R3d.lightColour[1];
        float cb = b * R3d.lightColour[2];
        if (d > 0) {
            cr = cr + r * d;
            cg = cg + g * d;
            cb = cb + b * d;
        }
        if (cr > 1.0f) cr = 1.0f;
        if (cg > 1.0f) cg = 1.0f;
        if (cb > 1.0f) cb = 1.0f;
        r = cr;
        g = cg;
        b = cb;
    }
    return (uint8_t)(int)((r + g + b) * 85.0f);
}

void ref_fill_polygon(RefCanvas& canvas, int n, uint8_t colour) {
    float screen[R3dMaxVertices][3];
    for (int k = 0; k < n; k++) {
        if (!ref_in_front(k)) return;
        ref_project(k, screen[k][0], screen[k][1]);
        screen[k][2] = R3d.VertexPositions[k][2];
    }
    ref_fill_screen(canvas, screen, n, colour);
}

}  // namespace

void ref_end(RefCanvas& canvas) {
    int count = (int)R3d.vertexCount;
    int mode = R3d.mode;
    uint32_t width = R3d.lineWidth;
    int i = 0;
    while (i < count) {
        if (!ref_in_front(i)) {
            i += mode == R3D_LINES ? 2 : 1;
            continue;
        }
        float sx, sy, sx1, sy1;
        ref_project(i, sx, sy);
        uint8_t colour = ref_colour(i);
        float z = R3d.VertexPositions[i][2];
        if (mode == R3D_LINES) {
            if (i + 1 < count && ref_in_front(i + 1)) {
                ref_project(i + 1, sx1, sy1);
                ref_draw_line(canvas, width, colour, sx, sy, z, sx1, sy1, R3d.VertexPositions[i + 1][2]);
            }
            i += 2;
        } else if (mode == R3D_LINE_STRIP) {
            if (i == count - 1) break;
            if (ref_in_front(i + 1)) {
                ref_project(i + 1, sx1, sy1);
                ref_draw_line(canvas, width, colour, sx, sy, z, sx1, sy1, R3d.VertexPositions[i + 1][2]);
                i += 1;
            } else {
                i += 2;
            }
        } else if (mode == R3D_POLYGON) {
            ref_fill_polygon(canvas, count, colour);
            for (int e = 0; e < 4 && e + 1 < count; e += 2) {
                if (ref_in_front(e) && ref_in_front(e + 1)) {
                    float ax, ay, bx, by;
                    ref_project(e, ax, ay);
                    ref_project(e + 1, bx, by);
                    ref_draw_line(canvas, width, 0, ax, ay, R3d.VertexPositions[e][2], bx, by,
                                  R3d.VertexPositions[e + 1][2]);
                }
            }
            break;
        } else {
            break;
        }
    }
}
