// The images of verify and write, in the command's words: loaded and
// checked before the cable is opened, and described in the --json record.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

#include "orvan/commands/orvan.h"
#include "orvan/images/image_map.h"
#include "orvan/operations/image_steps.h"
#include "orvan/production/production_log.h"

// Adds every IMAGE argument of the request to the map, then shows where
// each goes; throws CommandFailure with STATUS_USAGE at the first that does
// not load.
void loadImages(const Request& request);

// Places the board's own bytes (a worker's --board-data, "0xADDRESS:HEXBYTES")
// in the plan, as bytes of the image that owns their sector; throws
// CommandFailure with STATUS_USAGE for bytes outside every image's sectors
// or over image bytes other than 0xff.
void applyBoardData(const Request& request);

// The images loaded, as the production log names them.
std::vector<LoggedFile> loadedImageFiles();

// The image's format, as --json and the messages name it.
const char* imageFormatName(ImageFormat format);

// The image's fields common to every --json record.
nlohmann::ordered_json imageRecordJson(uint32_t index);

// Every image's record with the result "not reached", in order.
nlohmann::ordered_json notReachedImages();

// The first byte where the flash and the image differ, in an image's record.
void putFirstDifference(nlohmann::ordered_json* json, uint32_t address, uint8_t flash, uint8_t image);

// The start of the image's SHA-256, as closing lines show it.
std::string shortSha256(uint32_t index);

std::string sha256Text(const uint8_t* digest);

// The SHA-256 of length bytes, in lower-case hex.
std::string sha256OfBytes(const uint8_t* bytes, uint32_t length);
