// A waveform file read by sigrok-cli, as a logic analyser reads the lines:
// its SPI decoder set to the target's mode, and the frames it finds.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

const char* const SPI_DECODER = "spi:clk=clk:mosi=mosi:miso=miso:cs=cs:cs_polarity=active-low:cpol=0:cpha=0:"
                                "bitorder=msb-first";

struct DecodedFrame {
    uint64_t startNs; // one sample a nanosecond
    uint64_t endNs;
    std::string bytes; // "90 FF"
};

inline bool haveSigrok() {
    return system("command -v sigrok-cli >/dev/null 2>&1") == 0;
}

// What sigrok-cli prints decoding the file with these decoders and annotations.
inline std::string decoderOutput(const std::string& vcd, const std::string& decoders,
                                 const std::string& annotations) {
    std::string command = "SIGROKDECODE_DIR='" ORVAN_SIGROK_DECODERS "' sigrok-cli -I vcd -i '" + vcd +
                          "' -P " + decoders + " -A " + annotations + " --protocol-decoder-samplenum 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return output;
    }
    char text[4096];
    for (size_t length; (length = fread(text, 1, sizeof(text), pipe)) > 0;) {
        output.append(text, length);
    }
    pclose(pipe);
    return output;
}

// The frames the SPI decoder finds, with the bytes of one line: "mosi" or "miso".
inline std::vector<DecodedFrame> decode(const std::string& vcd, const std::string& line) {
    std::istringstream lines(decoderOutput(vcd, SPI_DECODER, "spi=" + line + "-transfer"));
    std::vector<DecodedFrame> frames;
    std::string text;
    while (std::getline(lines, text)) {
        unsigned long long start = 0, end = 0;
        int offset = 0;
        if (sscanf(text.c_str(), "%llu-%llu spi-1: %n", &start, &end, &offset) == 2 && offset > 0) {
            frames.push_back({start, end, text.substr(static_cast<size_t>(offset))});
        }
    }
    return frames;
}

inline std::vector<std::string> bytesOf(const std::vector<DecodedFrame>& frames) {
    std::vector<std::string> bytes;
    for (const DecodedFrame& frame : frames) {
        bytes.push_back(frame.bytes);
    }
    return bytes;
}
