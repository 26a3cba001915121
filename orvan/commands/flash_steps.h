// The flash steps of orvan's commands, each with its progress. A step the
// target does not go along with ends the command with its message.
#pragma once

#include <stdint.h>

// Reads length bytes from address into destination, in read groups.
void readWithProgress(const char* phase, uint32_t address, uint32_t length, uint8_t* destination);

// Erases count sectors from firstSector.
void eraseWithProgress(uint32_t firstSector, uint32_t count);

// Reads the sectors back (into the read-back buffer at their flash address)
// and ends the command when one is not blank.
void checkBlank(uint32_t firstSector, uint32_t count);

// The bytes of one programming batch: the writer's batch, or fewer where the
// clock is so slow that it would outlast a read group.
uint32_t programBatchBytes();
