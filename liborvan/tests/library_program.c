/* A caller of the installed liborvan: writes two images in each mode, reads
 * them back and verifies, erases, loads image files whole and in parts, and
 * checks the calls' refusals. Run with a
 * fresh VADAPTER_FLASH file, which it leaves holding the images; it saves
 * them as boot.bin and app.bin, for the script to build the flash it
 * expects. Exits 0 when every check holds. */
#include <liborvan.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void expect(int condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "FAIL: %s (%s)\n", what, orvan_last_error());
        failures++;
    }
}

struct counted {
    unsigned calls;
    unsigned stop_after; /* 0: never */
};

static int count_progress(void* context, const char* phase, uint64_t done, uint64_t total) {
    struct counted* counted = context;
    (void)phase;
    counted->calls++;
    return done <= total && counted->stop_after != 0 && counted->calls >= counted->stop_after;
}

static void save(const char* name, const uint8_t* bytes, size_t length) {
    FILE* file = fopen(name, "wb");
    expect(file != NULL && fwrite(bytes, 1, length, file) == length && fclose(file) == 0, name);
}

/* Image files, each as the one image loader and the parts loader take it:
 * records in sectors 0 and 6 (0x18000, after a type 04 record), in sectors 0
 * and 2 as S-records, and in sectors 0 and 1, one run. */
static const struct {
    const char* file;
    const char* text;
    int single;         /* orvan_image_load's status */
    const char* reason; /* in its error */
    size_t parts;
    uint32_t last_address; /* of the last part */
    size_t last_length;
} loads[] = {
    {"gap.hex", ":020010000102EB\n:020000040001F9\n:02800000AABB19\n:00000001FF\n", ORVAN_INPUT,
     "sectors 1 to 5 untouched", 2, 0x18000, 2},
    {"gap.srec", "S10500100102E7\nS1058000AABB15\nS9030000FC\n", ORVAN_INPUT, "sector 1 untouched", 2, 0x8000,
     2},
    {"run.hex", ":020010000102EB\n:02700000AABB29\n:00000001FF\n", ORVAN_OK, "", 1, 0x10, 0x7000 - 0x10 + 2},
};

int main(void) {
    static uint8_t boot[20000];
    static uint8_t app[300];
    static uint8_t flash[8 * 16384];
    for (size_t i = 0; i < sizeof boot; i++) {
        boot[i] = (uint8_t)(i * 7 + 1);
    }
    for (size_t i = 0; i < sizeof app; i++) {
        app[i] = (uint8_t)i;
    }
    orvan_image images[2] = {{0, boot, sizeof boot, "boot.bin"}, {0x10100, app, sizeof app, NULL}};
    orvan_cable* cable = NULL;
    orvan_cable* second = NULL;
    orvan_info info;
    struct counted counted = {0, 0};
    const int modes[] = {ORVAN_WRITE_FULL, ORVAN_WRITE_DEFAULT, ORVAN_WRITE_CHANGED};

    expect(strcmp(orvan_version(), "1.1") == 0, "version");
    for (size_t i = 0; i < sizeof loads / sizeof loads[0]; i++) {
        orvan_image one;
        orvan_image* parts = NULL;
        size_t count = 0;
        save(loads[i].file, (const uint8_t*)loads[i].text, strlen(loads[i].text));
        expect(orvan_image_load(loads[i].file, &one) == loads[i].single &&
                   strstr(orvan_last_error(), loads[i].reason) != NULL,
               loads[i].file);
        expect(orvan_image_load_parts(loads[i].file, &parts, &count) == ORVAN_OK && count == loads[i].parts &&
                   parts[0].address == 0x10 && parts[count - 1].address == loads[i].last_address &&
                   parts[count - 1].length == loads[i].last_length,
               loads[i].file);
        orvan_image_free(&one);
        orvan_image_free_parts(parts, count);
    }
    expect(orvan_open(NULL, 8, &cable) == ORVAN_OK, "open the default cable");
    expect(orvan_open(NULL, 8, &second) == ORVAN_INPUT && strstr(orvan_last_error(), "already open"),
           "a second open is refused");
    expect(orvan_get_info(cable, &info) == ORVAN_OK && info.identity == 0xac && info.clock_hz == 3333333,
           "info");
    for (size_t m = 0; m < sizeof modes / sizeof modes[0]; m++) {
        expect(orvan_write(cable, images, 2, modes[m], count_progress, &counted) == ORVAN_OK, "write");
    }
    expect(counted.calls > 0, "progress told");
    expect(orvan_verify(cable, images, 2, NULL, NULL) == ORVAN_OK, "verify");
    expect(orvan_read(cable, 0, sizeof flash, flash, NULL, NULL) == ORVAN_OK, "read");
    expect(memcmp(flash, boot, sizeof boot) == 0 && memcmp(flash + 0x10100, app, sizeof app) == 0,
           "the flash holds the images");
    expect(orvan_erase(cable, 3, 1, NULL, NULL) == ORVAN_OK, "erase sector 3");
    app[0] ^= 0xff;
    expect(orvan_verify(cable, images, 2, NULL, NULL) == ORVAN_TARGET_DISAGREED &&
               strcmp(orvan_last_error(), "image@0x10100: differs at 0x10100: flash 0x00, image 0xff") == 0,
           "a verify mismatch names the first difference");
    counted = (struct counted){0, 2};
    expect(orvan_erase(cable, 4, 4, count_progress, &counted) == ORVAN_INTERRUPTED &&
               strstr(orvan_last_error(), "interrupted"),
           "a progress callback stops the erase");
    expect(orvan_erase(cable, 7, 2, NULL, NULL) == ORVAN_INPUT, "an erase past the flash is refused");
    orvan_close(cable);
    expect(orvan_open(NULL, 8, &cable) == ORVAN_OK, "open again once closed");
    expect(orvan_write(cable, images, 2, ORVAN_WRITE_DEFAULT, NULL, NULL) == ORVAN_OK, "write after a stop");
    orvan_close(cable);
    save("boot.bin", boot, sizeof boot);
    save("app.bin", app, sizeof app);
    return failures == 0 ? 0 : 1;
}
