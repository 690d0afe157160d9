// expected_outputs.cpp: runs the Windows battery through the native module and writes the
// battery file (cases, inputs, native Y) that the Windows host compares against
//
// Usage: tessival_expected MODULE.so OUTPUT.bin [SEED]
// Exits 77 when this processor has no AVX.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "../../subhost/substitute_host.h"
#include "battery.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s MODULE.so OUTPUT.bin [SEED]\n", argv[0]);
        return 2;
    }
    // The expected outputs come from the native AVX code; without AVX there are none to make.
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx")) {
        printf("tessival_expected: AVX not available, skipping\n");
        return 77;
    }
    const uint32_t seed = argc > 3 ? uint32_t(strtoul(argv[3], nullptr, 0)) : 20111113u;
    const std::vector<CaseRecord> cases = BuildBattery(seed);

    // One host per thread count, as the Windows side keeps one pool for the whole run.
    std::unique_ptr<SubstituteHost> hosts[9];
    FILE* out = fopen(argv[2], "wb");
    if (out == nullptr) {
        perror(argv[2]);
        return 1;
    }
    BatteryHeader header{};
    memcpy(header.Magic, "TSVBAT1", 8);
    header.MasterSeed = seed;
    header.CaseCount = uint32_t(cases.size());
    fwrite(&header, sizeof header, 1, out);

    long long pixels = 0;
    for (const CaseRecord& base : cases) {
        CaseRecord c = base;
        std::unique_ptr<SubstituteHost>& host = hosts[c.Threads];
        if (!host) {
            host.reset(new SubstituteHost(c.Threads));
            std::string error;
            if (!host->Load(argv[1], &error)) {
                fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        }
        const size_t count = size_t(c.W) * size_t(c.H);
        std::vector<YcPixel> input(count);
        MakeInput(c, input.data());
        c.InputHash = HashPixels(input.data(), count);

        host->SetControls(c.Range, c.Strength, c.Gaussian != 0);
        switch (c.Action) {
            case ExitBefore:
                host->Exit();
                break;
            case SwitchOffBefore:
            case SwitchOffTwiceBefore:
                host->SetActive(false);
                host->SendSwitchMessage();
                if (c.Action == SwitchOffTwiceBefore) host->SendSwitchMessage();
                host->SetActive(true);
                break;
            case SwitchOnBefore:
                host->SendSwitchMessage();
                break;
            default:
                break;
        }
        host->AllocateImages(c.W, c.H, c.Capacity, c.Offset);
        for (int y = 0; y < c.H; y++)
            memcpy(host->Row(host->Edit(), y), &input[size_t(y) * c.W], size_t(c.W) * 6);
        YcPixel* const temp = host->Temp();
        if (host->Process() != 1 || host->Edit() != temp || !host->GuardsIntact()) {
            fprintf(stderr, "native run failed: group %s W=%d H=%d R=%d\n", GroupName(c.Group), c.W,
                    c.H, c.Range);
            return 1;
        }
        std::vector<int16_t> luma(count);
        for (int y = 0; y < c.H; y++)
            for (int x = 0; x < c.W; x++) luma[size_t(y) * c.W + x] = host->Row(temp, y)[x].Y;
        fwrite(&c, sizeof c, 1, out);
        fwrite(input.data(), sizeof(YcPixel), count, out);
        fwrite(luma.data(), sizeof(int16_t), count, out);
        pixels += (long long)count;
    }
    if (fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    printf("tessival_expected: %zu frames, %lld pixels, seed %u -> %s\n", cases.size(), pixels,
           seed, argv[2]);
    return 0;
}
