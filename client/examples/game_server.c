/* game_server: a minimal zone that stays listed. It announces itself every
 * 10 seconds to the directories given, answers their pings from its own loop
 * and prints, every interval, on how many directories it is listed.
 *
 *   game_server PORT NAME PASSWORD SECONDS DIRECTORY[:UPDATEPORT]...
 *
 * SECONDS 0 runs until killed. */
#define _POSIX_C_SOURCE 200809L
#include <kelvaro.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static unsigned long now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long)now.tv_sec * 1000ul + (unsigned long)now.tv_nsec / 1000000ul;
}

int main(int argc, char **argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: game_server PORT NAME PASSWORD SECONDS DIRECTORY[:UPDATEPORT]...\n");
        return 2;
    }
    kelvaro_zone *zone = NULL;
    kelvaro_status status = kelvaro_zone_create(&zone, (uint16_t)atoi(argv[1]), 0);
    if (status != KELVARO_OK) {
        fprintf(stderr, "game_server: %s\n", kelvaro_strerror(status));
        return 1;
    }
    if (kelvaro_zone_set_name(zone, argv[2]) != KELVARO_OK ||
        kelvaro_zone_set_password(zone, argv[3]) != KELVARO_OK) {
        fprintf(stderr, "game_server: a name or password the directory would refuse\n");
        kelvaro_zone_destroy(zone);
        return 2;
    }
    kelvaro_zone_set_description(zone, "a minimal game server");
    size_t directories = 0;
    for (int i = 5; i < argc; ++i) {
        char address[64];
        snprintf(address, sizeof address, "%s", argv[i]);
        char *colon = strchr(address, ':');
        uint16_t update_port = 0;
        if (colon != NULL) {
            *colon = '\0';
            update_port = (uint16_t)atoi(colon + 1);
        }
        if (kelvaro_zone_add_directory(zone, address, update_port, NULL) == KELVARO_OK) ++directories;
    }
    const unsigned long seconds = strtoul(argv[4], NULL, 10);
    const unsigned long start = now_ms();
    unsigned long last_report = start;
    uint16_t players = 0;
    /* The game's own loop: wait on the zone's descriptor (and whatever else
     * the game waits on), never longer than the library's poll interval. */
    while (seconds == 0 || now_ms() - start < seconds * 1000ul) {
        struct pollfd entry = {kelvaro_zone_fd(zone), POLLIN, 0};
        poll(&entry, 1, KELVARO_POLL_INTERVAL_MS);
        kelvaro_zone_poll(zone);
        if (now_ms() - last_report >= 10000ul) {
            last_report = now_ms();
            size_t listed = 0;
            for (size_t i = 0; i < directories; ++i) {
                kelvaro_zone_directory_state state;
                if (kelvaro_zone_directory(zone, i, &state) == KELVARO_OK && state.pinged &&
                    state.ms_since_ping < 60000)
                    ++listed;
            }
            printf("listed on %zu of %zu directories\n", listed, directories);
            fflush(stdout);
            kelvaro_zone_set_population(zone, ++players % 16); /* the next update carries it */
        }
    }
    kelvaro_zone_destroy(zone);
    return 0;
}
