/* liborvan: the Orvan target's 128 KiB serial flash through a USB-to-SPI
 * cable, from C: list the cables, open one, read, verify, erase and write
 * images with progress. It runs the operations the orvan command runs, with
 * the same results; it prints nothing and never ends the process.
 *
 * Statuses: every call that can fail returns one of enum orvan_status, and
 * orvan_last_error() says why in one line, as orvan would.
 *
 * Threads and processes: the adapter libraries serve one cable per process,
 * and the flash operations keep process-wide buffers. So a process opens at
 * most one cable at a time (a second orvan_open fails with ORVAN_INPUT until
 * the first is closed), and the calls of this library are made from one
 * thread at a time; the progress callback is called on the calling thread,
 * inside the call. To drive many cables at once, run one process per cable.
 * orvan_version() and orvan_last_error() may be called from any thread;
 * the error text is the calling thread's own. */
#ifndef LIBORVAN_H
#define LIBORVAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum orvan_status {
    ORVAN_OK = 0,
    ORVAN_TARGET_DISAGREED = 1, /* verify mismatch, not blank after erase, target stays busy */
    ORVAN_INPUT = 2,            /* a bad argument or image, found before the target was touched */
    ORVAN_CABLE = 3,            /* no cable, not opened or set up, wrong identity, or it stopped answering */
    ORVAN_INTERRUPTED = 5       /* the progress callback asked to stop; the error says what the flash holds */
};

/* The library's version, "1.1". */
const char* orvan_version(void);

/* The calling thread's last error, "" after a call that succeeded. Valid
 * until the thread's next call into the library. */
const char* orvan_last_error(void);

/* One device the adapter library lists. */
typedef struct orvan_cable_entry {
    uint32_t index;
    uint32_t location; /* the location id, as orvan list shows it in hex */
    char name[64];
    char channel[8];
    int is_default; /* the cable orvan_open(NULL, ...) takes */
} orvan_cable_entry;

/* Fills at most capacity entries; *count is how many the library lists,
 * which may be more. No cable listed is ORVAN_OK with *count 0. */
int orvan_list(orvan_cable_entry* entries, size_t capacity, size_t* count);

typedef struct orvan_cable orvan_cable;

/* Opens the cable at location ("0x1101", as orvan list shows it; NULL or ""
 * for the default cable) at the SPI clock 30 MHz / (divisor + 1), divisor 0
 * to 65535 (orvan's default is 8), and checks the target's identity. */
int orvan_open(const char* location, uint32_t divisor, orvan_cable** cable);

/* Closes the cable and frees the handle; NULL is ignored. */
void orvan_close(orvan_cable* cable);

typedef struct orvan_info {
    char location[16]; /* "0x1101" */
    char name[64];
    char channel[8];
    uint32_t divisor;
    uint32_t clock_hz;
    uint8_t identity; /* 0xac */
} orvan_info;

int orvan_get_info(const orvan_cable* cable, orvan_info* info);

/* Told as a step goes: phase is "read", "erase", "blank", "compare",
 * "program" or "verify"; done and total count its bytes. Returning
 * non-zero stops the call at its next safe point (between two adapter
 * calls), with ORVAN_INTERRUPTED. May be NULL. */
typedef int (*orvan_progress)(void* context, const char* phase, uint64_t done, uint64_t total);

/* An image: length bytes that go at the flash address. name, when not
 * NULL, names it in errors ("app.bin"); else it is "image@0xADDRESS". */
typedef struct orvan_image {
    uint32_t address;
    const uint8_t* bytes;
    size_t length;
    const char* name;
} orvan_image;

/* Loads an image file in orvan's IMAGE form: "FILE@SECTOR" or
 * "FILE@0xADDRESS" for a raw image, "FILE" for Intel HEX or S-record (the
 * format read from its content), "FILE@base=0xADDRESS" for one linked at
 * another address. Needs no cable.
 *
 * orvan_image_load_parts gives one image per run of consecutive sectors
 * that the file's records touch, in address order: each from the file's
 * first byte in its run to its last, 0xff between records. Written
 * together, they change the very sectors orvan write changes and leave a
 * sector between two runs as it is. *images and the images' bytes and names
 * are the library's until orvan_image_free_parts(*images, *count).
 *
 * orvan_image_load gives the one image of a file whose touched sectors are
 * one run (a raw file always is), freed by orvan_image_free; a file that
 * leaves a sector untouched between its records is ORVAN_INPUT, since one
 * image spanning it would erase that sector. */
int orvan_image_load_parts(const char* argument, orvan_image** images, size_t* count);
void orvan_image_free_parts(orvan_image* images, size_t count);
int orvan_image_load(const char* argument, orvan_image* image);
void orvan_image_free(orvan_image* image);

/* Reads length bytes of flash from address into destination. */
int orvan_read(orvan_cable* cable, uint32_t address, size_t length, uint8_t* destination,
               orvan_progress progress, void* context);

/* Compares the flash with each image; ORVAN_TARGET_DISAGREED names the
 * first difference. Images may not share a sector. */
int orvan_verify(orvan_cable* cable, const orvan_image* images, size_t count, orvan_progress progress,
                 void* context);

/* Erases count sectors (16 KiB each, 8 in all) from first_sector and checks them blank. */
int orvan_erase(orvan_cable* cable, uint32_t first_sector, uint32_t count, orvan_progress progress,
                void* context);

enum orvan_write_mode {
    ORVAN_WRITE_DEFAULT = 0, /* sends only the bytes that are not 0xff */
    ORVAN_WRITE_CHANGED = 1, /* reads first and leaves sectors that already hold the result */
    ORVAN_WRITE_FULL = 2     /* sends every byte of each image, 0xff too */
};

/* Writes the images in order: each sector an image touches ends up holding
 * its bytes and 0xff elsewhere, read back and compared; no other sector is
 * touched. Images may not share a sector. */
int orvan_write(orvan_cable* cable, const orvan_image* images, size_t count, int mode,
                orvan_progress progress, void* context);

#ifdef __cplusplus
}
#endif

#endif
