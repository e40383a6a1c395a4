#include "tests/show/fake_r3d.h"

#include "render3d/r3d.h"

void r3d_set_target(uint8_t* pixels) { Fake.target = pixels; }

void r3d_clear_color(float r, float g, float b, float)
{
    Fake.clearColour[0] = r;
    Fake.clearColour[1] = g;
    Fake.clearColour[2] = b;
}

void r3d_clear(int) { ++Fake.clears; }

void r3d_load_identity()
{
    ++Fake.identities;
    Fake.rotations.clear();
}

void r3d_translate(float x, float y, float z)
{
    Fake.translation[0] = x;
    Fake.translation[1] = y;
    Fake.translation[2] = z;
}

void r3d_rotate(float angle, float x, float y, float z) { Fake.rotations.push_back({angle, x, y, z}); }

void r3d_color(float r, float g, float b)
{
    Fake.colour[0] = r;
    Fake.colour[1] = g;
    Fake.colour[2] = b;
}

void r3d_normal(const float* n)
{
    for (int c = 0; c < 3; ++c)
        Fake.normal[c] = n[c];
}

void r3d_enable(int capability)
{
    if (capability == R3D_LIGHTING)
        Fake.lighting = true;
}

void r3d_disable(int capability)
{
    if (capability == R3D_LIGHTING)
        Fake.lighting = false;
}

void r3d_light(int, int parameter, const float* values)
{
    if (parameter == R3D_LIGHT_COLOR)
        for (int c = 0; c < 3; ++c)
            Fake.light[c] = values[c];
}

void r3d_line_width(double width) { Fake.lineWidth = uint32_t(width); }

void r3d_begin(int mode)
{
    Fake.open = FakeBatch{};
    Fake.open.mode = mode;
}

void r3d_vertex(float x, float y, float z)
{
    Fake.open.vertices.push_back({x, y, z, Fake.colour[0], Fake.colour[1], Fake.colour[2]});
}

void r3d_end()
{
    Fake.open.lighting = Fake.lighting;
    Fake.open.lineWidth = Fake.lineWidth;
    for (int c = 0; c < 3; ++c)
        Fake.open.normal[c] = Fake.normal[c];
    Fake.batches.push_back(Fake.open);
    Fake.open.vertices.clear();
}

void r3d_draw_line(uint8_t, float, float, float, float, float, float) {}
void r3d_fill_polygon(const float (*)[4], int32_t, uint8_t) {}
