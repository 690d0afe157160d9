// battery.cpp: the case list of the Windows battery and its seeded inputs
#include "battery.h"

static const char* const GroupNames[GroupCount] = {
    "matrix",      "narrow widths",           "strengths", "thread counts", "image layouts",
    "adversarial", "callbacks between frames"};

const char* GroupName(int32_t group) {
    return group >= 0 && group < GroupCount ? GroupNames[group] : "?";
}

// splitmix64: the same numbers on every compiler and word size.
static uint64_t NextRandom(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static int32_t Uniform(uint64_t* state, int32_t lo, int32_t hi) {
    return lo + int32_t(NextRandom(state) % uint64_t(int64_t(hi) - lo + 1));
}

static int16_t Clamp16(int32_t v) {
    return int16_t(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

// Three layouts by turn: aligned rows with guard pixels past W rounded up to 8 (the streaming
// write-back), a row capacity of W + 5 (unaligned stride), and rows starting 6 bytes past an
// aligned boundary.
static void SetLayout(CaseRecord* c, int turn) {
    switch (turn % 3) {
        case 0:
            c->Capacity = RoundedWidth(c->W) + 8, c->Offset = 0;
            break;
        case 1:
            c->Capacity = c->W + 5, c->Offset = 0;
            break;
        default:
            c->Capacity = RoundedWidth(c->W) + 16, c->Offset = 6;
            break;
    }
}

std::vector<CaseRecord> BuildBattery(uint32_t masterSeed) {
    std::vector<CaseRecord> cases;
    uint64_t seeds = masterSeed;
    auto add = [&](int32_t group, int32_t W, int32_t H, int32_t R, bool gaussian, int32_t strength,
                   int32_t threads, int32_t content, int layoutTurn) {
        CaseRecord c{};
        c.Group = group;
        c.W = W;
        c.H = H;
        c.Range = R;
        c.Gaussian = gaussian ? 1 : 0;
        c.Strength = strength;
        c.Threads = threads;
        c.Content = content;
        c.Seed = uint32_t(NextRandom(&seeds));
        SetLayout(&c, layoutTurn);
        cases.push_back(c);
        return &cases.back();
    };
    static const int32_t Strengths[3] = {1, 40, 100};
    static const int32_t Threads[4] = {1, 2, 3, 8};

    // The end-to-end matrix: every width, height and Range; the variant alternates with the
    // height so each width and Range sees both, strength and thread count rotate.
    static const int32_t MatrixW[] = {50, 320, 450, 720, 1000, 1001, 1920};
    static const int32_t MatrixH[] = {1, 2, 3, 11, 37};
    int turn = 0;
    for (int wi = 0; wi < 7; wi++)
        for (int R = 1; R <= 4; R++)
            for (int hi = 0; hi < 5; hi++, turn++)
                add(MatrixGroup, MatrixW[wi], MatrixH[hi], R, (wi + hi + R) % 2 == 0,
                    Strengths[(wi + 2 * hi + R) % 3], Threads[(3 * wi + hi + R) % 4],
                    turn % 5 == 4 ? Smooth : NoisyGradient, turn);

    // Widths that end strip 7 at every kind of place, and tiny frames.
    static const int32_t NarrowW[] = {1, 2, 7, 8, 9, 15, 17, 63, 64, 65, 127, 129, 319, 321};
    static const int32_t NarrowH[] = {1, 3, 11};
    for (int wi = 0; wi < 14; wi++)
        for (int hi = 0; hi < 3; hi++, turn++)
            add(NarrowGroup, NarrowW[wi], NarrowH[hi], 1 + (wi + hi) % 4, (wi + hi) % 2 == 1,
                Strengths[(wi + hi) % 3], Threads[(wi + 2 * hi) % 4], NoisyGradient, turn);

    // Strengths at both ends and the default, both variants, the smallest and largest Range.
    static const int32_t StrengthValues[] = {1, 2, 40, 99, 100};
    for (int si = 0; si < 5; si++)
        for (int g = 0; g < 2; g++)
            for (int R = 1; R <= 4; R += 3, turn++)
                add(StrengthGroup, 720, 11, R, g == 1, StrengthValues[si], 1 + si % 3,
                    NoisyGradient, turn);

    // One frame on every thread count, each variant.
    static const int32_t ThreadCounts[] = {1, 2, 3, 4, 5, 8};
    for (int g = 0; g < 2; g++)
        for (int ti = 0; ti < 6; ti++)
            add(ThreadGroup, 1001, 37, g == 1 ? 3 : 2, g == 1, 40, ThreadCounts[ti], Smooth, 0);

    // Row capacity and alignment: exact widths, odd capacities, every even start offset.
    static const int32_t LayoutW[] = {448, 450, 449, 456};
    for (int wi = 0; wi < 4; wi++) {
        CaseRecord* c =
            add(LayoutGroup, LayoutW[wi], 11, 1 + wi, wi % 2 == 0, 40, 3, NoisyGradient, 0);
        c->Capacity = LayoutW[wi];  // no room past W
        c->Offset = 0;
    }
    static const int32_t Offsets[] = {0, 2, 4, 6, 8, 16, 32, 62};
    for (int oi = 0; oi < 8; oi++) {
        CaseRecord* c =
            add(LayoutGroup, 320 + oi, 11, 1 + oi % 4, oi % 2 == 1, 40, 2, NoisyGradient, 0);
        c->Capacity = RoundedWidth(c->W) + 8 * (oi % 3) + (oi % 2);
        c->Offset = Offsets[oi];
    }

    // Adversarial contents on every Range and variant.
    for (int content = FullRange; content <= NearLimits; content++)
        for (int R = 1; R <= 4; R++)
            for (int g = 0; g < 2; g++, turn++)
                add(AdversarialGroup, 200 + 40 * R + content, 11 + 2 * g, R, g == 1,
                    Strengths[(R + g + content) % 3], Threads[(R + content) % 4], content, turn);

    // Callbacks between frames: Exit, the switch message on and off, and plan reuse when only
    // Strength or the variant changes (same W, H, Range and threads as the frame before).
    static const int32_t Actions[] = {NoAction, ExitBefore,     NoAction, SwitchOffBefore,
                                      NoAction, SwitchOnBefore, NoAction, SwitchOffTwiceBefore};
    for (int ai = 0; ai < 8; ai++) {
        CaseRecord* c =
            add(LifecycleGroup, 333, 21, 2, ai % 2 == 0, 20 + 10 * ai, 3, NoisyGradient, ai);
        c->Action = Actions[ai];
    }
    return cases;
}

void MakeInput(const CaseRecord& c, YcPixel* pixels) {
    uint64_t state = c.Seed;
    const int32_t flat = Uniform(&state, -1365, 1365);
    for (int32_t y = 0; y < c.H; y++)
        for (int32_t x = 0; x < c.W; x++) {
            YcPixel& p = pixels[size_t(y) * size_t(c.W) + size_t(x)];
            int32_t Y = 0;
            switch (c.Content) {
                case FullRange:
                    Y = Uniform(&state, -32768, 32767);
                    break;
                case FlatSpikes: {
                    const int32_t roll = Uniform(&state, 0, 96);
                    Y = roll == 0 ? 32767 : roll == 1 ? -32768 : flat;
                    break;
                }
                case NearLimits:
                    Y = x < c.W / 2 ? Uniform(&state, 31967, 32767)
                                    : Uniform(&state, -32768, -31968);
                    break;
                case Smooth:
                    Y = 2048 + ((x * 37 + y * 91) % 1024) - 512 + Uniform(&state, -16, 16);
                    break;
                default:
                    Y = (x * 7 + y * 13) % 4096 + Uniform(&state, -64, 64);
                    break;
            }
            p.Y = Clamp16(Y);
            p.Cb = int16_t(Uniform(&state, -32768, 32767));
            p.Cr = int16_t(Uniform(&state, -32768, 32767));
        }
}

uint32_t HashPixels(const YcPixel* pixels, size_t count) {
    uint32_t h = 2166136261u;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pixels);
    for (size_t i = 0; i < count * sizeof(YcPixel); i++) h = (h ^ bytes[i]) * 16777619u;
    return h;
}
