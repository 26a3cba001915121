// The MPSSE adapter library: the adapter library's thirteen operations
// (adapter_interface/adapter_library.h) over libftdi1, for the USB-to-SPI
// cable built on a dual-channel MPSSE chip. Built as libftcspi.so; the
// program takes it in place of the virtual adapter when it lies beside the
// program or when the loader's search path names its folder first.
//
// Devices. USB vendor 0x0403 with product 0x6010 (MPSSE on channels "A" and
// "B"), 0x6011 ("A" and "B" of its four) or 0x6014 ("A"). libCountDevices
// lists one entry per MPSSE-capable channel, ordered by location id, then
// by channel; libDescribeDevice reports the entry:
//   name        the USB product string (at most nameSize - 1 bytes, terminated)
//   location id bus number in bits 31-24, then the port path from the root
//               hub, one port per 4 bits from bits 23-20 down (six levels);
//               stable while the cable stays in the same port
//   channel     "A" or "B"
//   device type the USB product id (0x6010, 0x6011, 0x6014)
// The list is taken by libCountDevices and kept until the next count;
// libOpenDevice takes the entry with that name, location id and channel
// (counting first if no count was made), resets it, purges both buffers,
// turns MPSSE mode on and checks that the engine answers an undefined opcode
// (0xAA) with 0xFA 0xAA, skipping what an earlier user left unread, so a
// cable left mid-command by a crashed program still opens. One device is
// open at a time; its handle is 1.
//
// Wiring of the channel's low byte: bit 0 clock, bit 1 data out, bit 2 data
// in, bit 3 chip-select line 0, bits 4-7 chip-select lines 1-4, which can
// serve as general pins instead. The high byte holds eight general pins.
//
// Records and arguments:
//   StartCondition       clockLevel: the clock's level at rest, before and
//                        after the frame (1 rests it high; the opcodes still
//                        follow the clock edge argument, so a caller that
//                        rests the clock high passes the edge that suits
//                        it); dataOutLevel: data out's level at rest and
//                        between frames; chipSelectLevel: the chip-select
//                        line's level at rest, the frame drives the other
//                        level (0 makes an active-high select);
//                        chipSelectLine: which of lines 0-4 frames the
//                        transfer. The line is a driven output from its
//                        first transfer on and rests at the level of its
//                        last one; a line set as a general pin is refused
//                        with MPSSE_STATUS_INVALID_PARAMETER.
//   bit order            1 most significant bit first, 0 least.
//   clock edge           0: data out changes on the falling edge and data
//                        in is sampled on the rising edge (opcodes 0x11,
//                        0x20); 1: the other edges (0x10, 0x24).
//   bit counts           whole bytes go as byte commands, the remainder as
//                        one bit command; a count above its bytes' room,
//                        or a transfer whose commands (with the high byte's
//                        when it changes) exceed the 256 KiB queue buffer,
//                        is refused with MPSSE_STATUS_INVALID_PARAMETER and
//                        sends nothing, the high byte included.
//   data flag            0: no data bytes follow the control bytes.
//   WriteWaitSettings    not used: a write is complete when the chip has
//                        taken its bytes, and every later transfer is
//                        clocked after it.
//   UpperPinStates       pair n is high-byte pin n: state 1 drives the pin
//                        at activeState during and after the transfer,
//                        state 0 leaves it an input. The high byte goes out
//                        ahead of the frame only when it differs from what
//                        was last sent (at open: all inputs, low).
//   ChipSelectDisableStates  flag n for line n: 0 = line n is a chip-select
//                        line, an output resting high (inactive); 1 = line n
//                        is a general pin set by PinSettings (line 0 is
//                        always a chip-select line).
//   PinSettings          pair k for line k + 1 (low-byte bit 4 + k) when it
//                        is a general pin: direction 1 output, 0 input;
//                        level of an output.
//   libSetup6 value      the chip's latency timer in milliseconds: 1-255 is sent; 0 keeps it and sends
//                        nothing; above 255 is refused with
//                        MPSSE_STATUS_INVALID_PARAMETER. Replies never wait
//                        for it: every transfer that expects bytes ends with
//                        SEND_IMMEDIATE.
//   libSetup14           only checks the handle: the open already set the
//                        channel up.
//   libQuery area        the 32 bytes as eight little-endian 32-bit words:
//                        product id, channel index (0 = "A"), divisor sent,
//                        clock in Hz, low-byte levels, low-byte directions,
//                        high-byte levels, high-byte directions. No USB
//                        traffic: the channel was checked at open.
//   libSetClockDivisor   divide-by-5 off, TCK_DIVISOR = min(divisor, 65535);
//                        reports 30 MHz / (value sent + 1) in Hz.
//   libQueueWrite        appends the framed transfer to the queue buffer
//                        (allocated once, at open); when it does not fit
//                        behind what the buffer holds, the buffer is sent
//                        first, in one USB write; a transfer larger than the
//                        whole buffer is refused (see bit counts). libExecuteQueue sends the queue in one USB
//                        write, returns 0 bytes in the result area, and
//                        leaves the queue empty. libWrite and libRead send
//                        the queue before their own transfer, in the same
//                        USB write.
//   libRead              reads until all bytes arrived or no byte came for
//                        READ_IDLE_LIMIT_MS; then returns the real count
//                        and MPSSE_STATUS_READ_INCOMPLETE.
//   libClose             transfers queued and not executed are dropped;
//                        every chip-select line driven to its level at rest
//                        (high for active-low use: inactive), general pins
//                        as they were; left in MPSSE mode so that they stay
//                        driven; device closed.
// After a USB failure (libusb reports the device gone, or a transfer timed
// out) every call on the handle fails at once with MPSSE_STATUS_USB_FAILURE,
// the adapter interface's ADAPTER_STATUS_DEVICE_GONE, until libClose.
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_library.h"

const uint32_t MPSSE_STATUS_INVALID_HANDLE = 1;
const uint32_t MPSSE_STATUS_DEVICE_NOT_FOUND = 2;
const uint32_t MPSSE_STATUS_INVALID_PARAMETER = 3;
const uint32_t MPSSE_STATUS_USB_FAILURE = ADAPTER_STATUS_DEVICE_GONE;
const uint32_t MPSSE_STATUS_READ_INCOMPLETE = 5;
const uint32_t MPSSE_STATUS_NOT_SYNCHRONISED = 6;
const uint32_t MPSSE_STATUS_NO_MEMORY = 7;
const uint32_t MPSSE_STATUS_ALREADY_OPEN = 8;

const uint32_t READ_IDLE_LIMIT_MS = 2000;
