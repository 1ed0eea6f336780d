#include "AudioInput.h"

#include <cstdlib>

namespace castora::engine {

std::vector<AudioDevice> inputDevices(const std::vector<AudioDevice> &all) {
    std::vector<AudioDevice> inputs;
    for (const AudioDevice &device : all) {
        if (device.inputChannels > 0)
            inputs.push_back(device);
    }
    return inputs;
}

std::optional<AudioDevice> findInput(const std::vector<AudioDevice> &all, const QString &name) {
    for (const AudioDevice &device : all) {
        if (device.inputChannels > 0 && device.name == name)
            return device;
    }
    return std::nullopt;
}

std::optional<AudioDevice> findInput(const std::vector<AudioDevice> &all, const QString &key,
                                     const QString &name) {
    if (!key.isEmpty()) {
        for (const AudioDevice &device : all) {
            if (device.inputChannels > 0 && device.key == key)
                return device;
        }
        return std::nullopt;
    }
    return findInput(all, name);
}

bool stillListed(const std::vector<AudioDevice> &all, const AudioDevice &device) {
    for (const AudioDevice &listed : all) {
        if (listed.inputChannels == 0 || listed.id != device.id || listed.key != device.key)
            continue;
        if (!device.key.isEmpty() || listed.name == device.name)
            return true;
    }
    return false;
}

unsigned int chooseSampleRate(const std::vector<unsigned int> &rates, int quality) {
    if (rates.empty())
        return 44100;
    static const std::vector<unsigned int> wideRates{44100, 48000};
    static const std::vector<unsigned int> speechRates{22050, 44100, 48000};
    const bool wide = quality <= 1;
    for (unsigned int rate : wide ? wideRates : speechRates) {
        for (unsigned int listed : rates) {
            if (listed == rate)
                return rate;
        }
    }
    const long long target = wide ? 44100 : 22050;
    unsigned int best = rates.front();
    long long bestDistance = std::llabs(static_cast<long long>(best) - target);
    for (unsigned int listed : rates) {
        const long long distance = std::llabs(static_cast<long long>(listed) - target);
        if (distance < bestDistance) {
            best = listed;
            bestDistance = distance;
        }
    }
    return best;
}

int peakThousandths(const qint16 *samples, unsigned int frames) {
    int peak = 0;
    for (unsigned int i = 0; i < frames; ++i) {
        const int magnitude = std::abs(static_cast<int>(samples[i]));
        if (magnitude > peak)
            peak = magnitude;
    }
    return static_cast<int>(static_cast<long long>(peak) * 1000 / 32768);
}

} // namespace castora::engine
