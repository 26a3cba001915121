// The flash steps of orvan's commands and liborvan, each with its progress.
// A step the target does not go along with throws OperationFailure.
#pragma once

#include <stdint.h>

#include "orvan/operations/cable_session.h"

// Reads length bytes from address into destination, in read groups.
void readWithProgress(const CableSession& cable, const char* phase, uint32_t address, uint32_t length,
                      uint8_t* destination);

// Erases count sectors from firstSector.
void eraseWithProgress(CableSession* cable, uint32_t firstSector, uint32_t count);

// Erases the sectors and checks them blank: what erase does, and write for
// each run of sectors it rewrites.
void eraseAndCheck(CableSession* cable, uint32_t firstSector, uint32_t count);

// Reads the sectors back (into the read-back buffer at their flash address)
// and fails the command when one is not blank.
void checkBlank(const CableSession& cable, uint32_t firstSector, uint32_t count);

// The bytes of one programming batch: the writer's batch, or fewer where the
// clock is so slow that it would outlast a read group.
uint32_t programBatchBytes(const CableSession& cable);
