/* list_zones: prints the zones of one or more directories, one line each:
 * address, port, population, flag, word, name, description, tab-separated
 * (a tab or line end inside a text printed as a space).
 *
 *   list_zones [--all] [--min N] [--timeout-ms T] ADDRESS[:CLIENTPORT[:UPDATEPORT]]...
 *
 * Exit status 0 when at least one directory gave its whole list, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L
#include <kelvaro.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void print_text(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        putchar(c == '\t' || c == '\r' || c == '\n' ? ' ' : c);
    }
}

int main(int argc, char **argv) {
    kelvaro_fetch_options options;
    kelvaro_fetch_options_init(&options);
    kelvaro_directory directories[KELVARO_MAX_DIRECTORIES];
    char addresses[KELVARO_MAX_DIRECTORIES][64];
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--all") == 0) {
            options.fetch_all = 1;
        } else if (strcmp(argv[i], "--min") == 0 && i + 1 < argc) {
            options.min_population = (uint32_t)strtoul(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
            options.timeout_ms = (uint32_t)strtoul(argv[++i], NULL, 10);
        } else if (count < KELVARO_MAX_DIRECTORIES && strlen(argv[i]) < sizeof addresses[0]) {
            char *text = addresses[count];
            strcpy(text, argv[i]);
            kelvaro_directory *d = &directories[count++];
            d->address = text;
            d->client_port = 0;
            d->update_port = 0;
            char *colon = strchr(text, ':');
            if (colon != NULL) {
                *colon = '\0';
                d->client_port = (uint16_t)strtoul(colon + 1, &colon, 10);
                if (*colon == ':') d->update_port = (uint16_t)strtoul(colon + 1, NULL, 10);
            }
        } else {
            fprintf(stderr, "usage: list_zones [--all] [--min N] [--timeout-ms T] "
                            "ADDRESS[:CLIENTPORT[:UPDATEPORT]]...\n");
            return 2;
        }
    }
    if (count == 0) {
        fprintf(stderr, "list_zones: no directory given\n");
        return 2;
    }

    kelvaro_zone_entry *zones = NULL;
    size_t zone_count = 0;
    kelvaro_status status = kelvaro_fetch_list(directories, count, &options, &zones, &zone_count);
    if (status != KELVARO_OK) {
        fprintf(stderr, "list_zones: %s\n", kelvaro_strerror(status));
        return 1;
    }
    for (size_t i = 0; i < zone_count; ++i) {
        const kelvaro_zone_entry *z = &zones[i];
        printf("%s\t%u\t%u\t%u\t%lu\t", z->address_text, z->port, z->population, z->flag,
               (unsigned long)z->word);
        print_text(z->name, z->name_length);
        putchar('\t');
        print_text(z->description, z->description_length);
        putchar('\n');
    }
    kelvaro_free_zones(zones);
    return 0;
}
