/* The C interface used from a C99 program linked to libMorvane: a hand on
 * CAN-FD in dry run, the frame log through a C callback and a file, the
 * array getters with morvane_free_buffer, and a shared RS485 bus.
 * Exits 0 when every check holds. */
#define _POSIX_C_SOURCE 200809L

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "morvane/morvane_c.h"
#include "temp_dir.h"

static int failures = 0;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

static int log_lines = 0;
static char first_line[512];

static void on_log_line(const char* line) {
    if (log_lines == 0) {
        strncpy(first_line, line, sizeof first_line - 1);
        first_line[sizeof first_line - 1] = '\0';
    }
    ++log_lines;
}

static int canfd_frames = 0;
static bool count_canfd(unsigned id, const uint8_t* data, unsigned len, int extended) {
    (void)id;
    (void)data;
    (void)len;
    (void)extended;
    ++canfd_frames;
    return true;
}

static bool drop_rs485(const uint8_t* data, unsigned len) {
    (void)data;
    (void)len;
    return true;
}

static void hand_on_canfd(const char* dir) {
    morvane_handle h = morvane_create();
    CHECK(h != NULL);
    if (h == NULL) return;

    morvane_set_send_canfd_callback(h, count_canfd);
    morvane_set_dry_run_mode(h, true);
    CHECK(morvane_get_dry_run_mode(h));
    CHECK(morvane_initial_ex(h, 1, 256) == 1);
    CHECK(morvane_initial_ex(h, 1, 1) == 0);

    int total = 0, active = 0;
    CHECK(morvane_get_dof(h, &total, &active) == 0);
    CHECK(total == 11 && active == 6);

    int codes[256];
    for (int i = 0; i < 256; ++i) codes[i] = i;
    morvane_set_log_callback(h, on_log_line);
    morvane_log_on(h, true, 100);
    CHECK(morvane_log_send(h, codes, 256) == 0);
    CHECK(morvane_log_send(h, NULL, 3) == 1);

    CHECK(morvane_set_move_no_home(h, 1) == 0);
    CHECK(morvane_set_target_position(h, 1, 5000) == 0);
    int position = -1;
    CHECK(morvane_get_target_position(h, 1, &position) == 0);
    CHECK(position == 5000);
    CHECK(morvane_move_motors(h, 1) == 0);

    int kept = -1;
    CHECK(morvane_get_pre_send_canfd_data(h, NULL, &kept) == 0);
    CHECK(kept > 0);
    uint8_t frame[128];
    int got = (int)sizeof frame;
    CHECK(morvane_get_pre_send_canfd_data(h, frame, &got) == 0);
    CHECK(got == kept);
    CHECK(canfd_frames == 0); /* dry run: nothing sent */

    CHECK(log_lines > 0);
    CHECK(strncmp(first_line, "Send: ", 6) == 0);
    CHECK(strlen(first_line) > 11 && strcmp(first_line + strlen(first_line) - 5, " = ok") == 0);

    char path[512];
    snprintf(path, sizeof path, "%s/frames.txt", dir);
    CHECK(morvane_log_save(h, path) == 0);
    CHECK(morvane_log_save(h, path) == 9);
    CHECK(morvane_log_save(h, NULL) == 1);
    FILE* f = fopen(path, "r");
    CHECK(f != NULL);
    if (f != NULL) {
        char line[512];
        CHECK(fgets(line, sizeof line, f) != NULL);
        CHECK(strncmp(line, first_line, strlen(first_line)) == 0);
        fclose(f);
    }
    remove(path);

    /* Array getters: allocated by the library, released with morvane_free_buffer. */
    float* x = NULL;
    float* y = NULL;
    int count = -1;
    CHECK(morvane_get_finger_sensor_pos(h, 1, &x, &y, &count) == 0);
    CHECK((count > 0) == (x != NULL) && (count > 0) == (y != NULL));
    morvane_free_buffer(x);
    morvane_free_buffer(y);

    float* values = NULL;
    CHECK(morvane_get_finger_pressure(h, 1, &values, &count) == 0);
    CHECK((count > 0) == (values != NULL));
    morvane_free_buffer(values);
    values = (float*)&count; /* must be replaced */
    CHECK(morvane_get_finger_pressure(h, 12, &values, &count) == 1);
    CHECK(values == NULL && count == 0);
    morvane_free_buffer(NULL);

    char serial[16];
    CHECK(morvane_get_serial_number(h, NULL, 16) == 1);
    CHECK(morvane_get_serial_number(h, serial, 0) == 1);
    CHECK(morvane_get_serial_number(h, serial, (int)sizeof serial) == 0);

    morvane_close(h);
    morvane_destroy(h);
}

static void hands_on_shared_bus(void) {
    const uint8_t byte = 0x48;
    CHECK(morvane_rs485_shared_bus_set_receive_data(NULL, &byte, 1) == 1);

    morvane_rs485_shared_bus_handle bus = morvane_rs485_shared_bus_create();
    CHECK(bus != NULL);
    if (bus == NULL) return;
    morvane_rs485_shared_bus_set_send_callback(bus, drop_rs485);

    morvane_handle a = morvane_create();
    morvane_handle b = morvane_create();
    CHECK(a != NULL && b != NULL);
    morvane_set_dry_run_mode(a, true);
    morvane_set_dry_run_mode(b, true);
    morvane_set_rs485_shared_bus(a, bus);
    morvane_set_rs485_shared_bus(b, bus);
    CHECK(morvane_initial_ex(a, 2, 1) == 0);
    CHECK(morvane_initial_ex(b, 2, 2) == 0);
    CHECK(morvane_rs485_shared_bus_set_receive_data(bus, &byte, 1) == 0);
    CHECK(morvane_rs485_shared_bus_set_receive_data(bus, NULL, 1) == 1);

    /* Detached from the shared bus, the hand gets a private context. */
    morvane_set_rs485_shared_bus(b, NULL);
    morvane_set_send_rs485_callback(b, drop_rs485);
    CHECK(morvane_initial(b, 2) == 0);

    morvane_destroy(a);
    morvane_destroy(b);
    morvane_rs485_shared_bus_close(bus);
    CHECK(morvane_rs485_shared_bus_set_receive_data(bus, &byte, 1) == 5);
    morvane_rs485_shared_bus_destroy(bus);
    morvane_rs485_shared_bus_destroy(NULL);
    morvane_rs485_shared_bus_close(NULL);
}

static void null_handles(void) {
    int value = 0;
    float f = 0.0f;
    float* array = NULL;
    CHECK(morvane_initial(NULL, 1) == 1);
    CHECK(morvane_get_dof(NULL, &value, &value) == 1);
    CHECK(morvane_get_now_angle(NULL, 1, &f) == 1);
    CHECK(morvane_get_finger_pressure(NULL, 1, &array, &value) == 1);
    CHECK(morvane_log_save(NULL, "unused.txt") == 1);
    CHECK(!morvane_get_dry_run_mode(NULL));
    morvane_close(NULL);
    morvane_log_on(NULL, true, 10);
    morvane_set_log_callback(NULL, on_log_line);
    morvane_destroy(NULL);
}

int main(void) {
    char dir[] = "/tmp/morvane_c_XXXXXX";
    if (kit_make_temp_dir(dir) == NULL) {
        perror("temporary directory");
        return 1;
    }
    null_handles();
    hand_on_canfd(dir);
    hands_on_shared_bus();
    rmdir(dir);
    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("C interface: all checks passed\n");
    return 0;
}
