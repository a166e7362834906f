/* libkelvaro: the client side of a Kelvaro directory, for game clients (fetch
 * the list of zones) and game servers (stay listed as a zone).
 *
 * C99, no threads, no global state: every object is an opaque handle the
 * caller creates and destroys, every call returns a kelvaro_status. Nothing
 * blocks except kelvaro_fetch_wait, kelvaro_fetch_list, kelvaro_count and
 * kelvaro_fetch_web. A handle is driven from
 * the caller's own loop: call its poll function whenever its descriptor is
 * readable and at least every KELVARO_POLL_INTERVAL_MS milliseconds (the
 * transport resends on its own clock).
 *
 * Addresses are dotted quads ("127.0.0.1"), and for kelvaro_fetch_web IPv6
 * text too ("::1"); the library never resolves names. Ports are in host
 * order; the integer form of an address is in network order. */
#ifndef KELVARO_H
#define KELVARO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Marks what the shared library exports; everything else stays inside it. */
#if defined(KELVARO_BUILDING) && defined(__GNUC__)
#define KELVARO_API __attribute__((visibility("default")))
#else
#define KELVARO_API
#endif

#define KELVARO_VERSION_MAJOR 1
#define KELVARO_VERSION_MINOR 1
#define KELVARO_VERSION_PATCH 0
#define KELVARO_VERSION_STRING "1.1.0"
/* One number for comparisons: major * 10000 + minor * 100 + patch. */
#define KELVARO_VERSION (KELVARO_VERSION_MAJOR * 10000 + KELVARO_VERSION_MINOR * 100 + KELVARO_VERSION_PATCH)

#define KELVARO_CLIENT_PORT 4990 /* the directory's list port */
#define KELVARO_UPDATE_PORT 4991 /* the directory's update and count port */
#define KELVARO_HTTP_PORT 8080   /* the HTTP front's port in the packaged kelvaro.ini */
#define KELVARO_POLL_INTERVAL_MS 10
#define KELVARO_DEFAULT_TIMEOUT_MS 2000
#define KELVARO_DEFAULT_MAX_ZONES 100000
#define KELVARO_MAX_DIRECTORIES 16
#define KELVARO_MAX_FETCH_ALL_LISTS 64
#define KELVARO_MAX_NAME 31         /* bytes of a zone name */
#define KELVARO_MAX_PASSWORD 15
#define KELVARO_MAX_DESCRIPTION 425 /* sent; a directory lists the first 255 */

typedef enum kelvaro_status {
    KELVARO_OK = 0,
    KELVARO_PENDING = 1,            /* under way: poll again */
    KELVARO_ERR_ARGUMENT = -1,      /* a bad argument (address, length, range, null) */
    KELVARO_ERR_MEMORY = -2,        /* out of memory */
    KELVARO_ERR_SOCKET = -3,        /* a socket could not be opened, bound or used */
    KELVARO_ERR_TIMEOUT = -4,       /* nothing (or not enough) answered in time */
    KELVARO_ERR_CLOSED = -5,        /* the directory closed the connection before its list */
    KELVARO_ERR_MALFORMED = -6,     /* the directory sent a list that is not well formed */
    KELVARO_ERR_TOO_MANY = -7,      /* more zones than the caller's max_zones */
    KELVARO_ERR_INCOMPLETE = -8,    /* fetch all: a list did not come, zones are missing */
    KELVARO_ERR_STATE = -9,         /* not possible in the handle's present state */
    KELVARO_ERR_HTTP = -10          /* (since 1.1) the HTTP front answered with a status but 200 */
} kelvaro_status;

/* A fixed English text for a status; never null, never to be freed. */
KELVARO_API const char *kelvaro_strerror(kelvaro_status status);
/* The library's version as "major.minor.patch" (may differ from the header's). */
KELVARO_API const char *kelvaro_version(void);

#define KELVARO_FAMILY_IPV4 4
#define KELVARO_FAMILY_IPV6 6

/* One listed zone. The texts are the bytes the directory listed, up to the
 * first NUL, and NUL-terminated: never re-encoded, so a name need not be
 * UTF-8. The lengths exclude the NUL. */
typedef struct kelvaro_zone_entry {
    int family;                 /* IPV4 for every zone of a UDP list; IPV4 or IPV6 from the web */
    char address_text[46];      /* "a.b.c.d", or IPv6 text such as "2001:db8::5" */
    uint8_t address_bytes[16];  /* the address as on the wire; IPv4: the first 4 */
    uint32_t address;           /* IPv4 in network order; 0 for IPv6 */
    uint16_t port;
    uint16_t population;
    uint16_t flag;              /* 0 or 1 */
    uint32_t word;
    char name[32];
    char description[256];
    uint16_t name_length;
    uint16_t description_length;
    uint32_t directory;         /* index of the directory whose list gave it first */
} kelvaro_zone_entry;

/* ---- Fetching the list (game clients) ---- */

typedef struct kelvaro_directory {
    const char *address;  /* dotted quad */
    uint16_t client_port; /* 0: KELVARO_CLIENT_PORT */
    uint16_t update_port; /* 0: KELVARO_UPDATE_PORT (count queries) */
} kelvaro_directory;

typedef struct kelvaro_fetch_options {
    uint32_t min_population; /* only zones with at least this population; 0: all */
    uint32_t timeout_ms;     /* per list; 0: KELVARO_DEFAULT_TIMEOUT_MS; at most 3600000 */
    uint32_t max_zones;      /* more zones than this fail with KELVARO_ERR_TOO_MANY; 0: default */
    int fetch_all;           /* nonzero: successive lists until every zone was seen once */
} kelvaro_fetch_options;

typedef struct kelvaro_fetch kelvaro_fetch;

/* What became of one directory of a fetch. */
typedef struct kelvaro_directory_result {
    kelvaro_status status; /* PENDING while under way */
    uint32_t lists;        /* lists received from it */
    uint32_t zones;        /* distinct zones in its lists */
    int count_known;       /* it answered a count query (asked only for a list that may be full) */
    uint32_t count;        /* its answer */
    int full;              /* its last list could not hold every zone asked for */
    uint32_t list_bytes;   /* the length of its last list */
} kelvaro_directory_result;

/* Fills options with the defaults (all zones, 2000 ms, one list). */
KELVARO_API void kelvaro_fetch_options_init(kelvaro_fetch_options *options);

/* Starts fetching from 1..KELVARO_MAX_DIRECTORIES directories at once; the
 * zones of all of them are merged by address and port, the first list to
 * arrive winning a tie. options may be null (defaults). On KELVARO_OK *out is
 * a handle to poll and then destroy. */
KELVARO_API kelvaro_status kelvaro_fetch_start(kelvaro_fetch **out, const kelvaro_directory *directories,
                                   size_t count, const kelvaro_fetch_options *options);
/* Does the work due now, never blocking. KELVARO_PENDING while under way;
 * then, and on every later call, the fetch's result: KELVARO_OK when at least
 * one directory gave its whole list (others may have failed: see
 * kelvaro_fetch_result), else the status of the first directory. */
KELVARO_API kelvaro_status kelvaro_fetch_poll(kelvaro_fetch *fetch);
/* Polls and waits on the descriptor until the fetch is over; bounded by the
 * time-outs. Returns what kelvaro_fetch_poll finally returns. */
KELVARO_API kelvaro_status kelvaro_fetch_wait(kelvaro_fetch *fetch);
/* A descriptor that becomes readable when the fetch has datagrams to read. */
KELVARO_API int kelvaro_fetch_fd(const kelvaro_fetch *fetch);
/* The zones gathered so far, in the order first seen; valid until the next
 * poll or destroy. After KELVARO_ERR_TOO_MANY there are none. */
KELVARO_API kelvaro_status kelvaro_fetch_zones(const kelvaro_fetch *fetch, const kelvaro_zone_entry **zones,
                                   size_t *count);
KELVARO_API kelvaro_status kelvaro_fetch_result(const kelvaro_fetch *fetch, size_t directory,
                                    kelvaro_directory_result *result);
/* Says goodbye to every directory still connected and frees the handle. Null is ignored. */
KELVARO_API void kelvaro_fetch_destroy(kelvaro_fetch *fetch);

/* The blocking form: fetches from the directories and copies the zones into a
 * new array (*zones, *count) to free with kelvaro_free_zones. On a failure
 * *zones is null and *count 0. */
KELVARO_API kelvaro_status kelvaro_fetch_list(const kelvaro_directory *directories, size_t count,
                                  const kelvaro_fetch_options *options, kelvaro_zone_entry **zones,
                                  size_t *zone_count);
KELVARO_API void kelvaro_free_zones(kelvaro_zone_entry *zones);

/* How many zones a directory lists (its count query), waiting at most
 * timeout_ms (0: the default). update_port 0: KELVARO_UPDATE_PORT. */
KELVARO_API kelvaro_status kelvaro_count(const char *address, uint16_t update_port, uint32_t timeout_ms,
                             uint32_t *count);

/* ---- The list over HTTP, IPv6 zones included (since 1.1) ---- */

/* A directory with [Http] Port set serves every zone it holds at /zones.json,
 * IPv6 ones too, which the UDP list has no room for. A zone announcing on both
 * families under one name is one entry there: zone holds its IPv4 address and
 * the address6 fields its IPv6 one. */
typedef struct kelvaro_web_zone {
    kelvaro_zone_entry zone;    /* family IPV4 or IPV6; directory is 0 */
    int has_address6;           /* nonzero: a zone on both families, also at address6 */
    char address6_text[46];     /* IPv6 text, "" without one */
    uint8_t address6_bytes[16];
    uint16_t port6;             /* 0 without one */
    uint32_t last_heard;        /* s from its last update or ping reply to the document's making */
    int from_peer;              /* nonzero: known only from a peer directory's list */
} kelvaro_web_zone;

/* Fetches http://address:http_port/zones.json with one HTTP/1.0 GET and copies
 * its zones, in the directory's order, into a new array (*zones, *count) to
 * free with kelvaro_free_web_zones. Blocks for at most timeout_ms in all
 * (connecting, asking and reading; 0: KELVARO_DEFAULT_TIMEOUT_MS, at most
 * 3600000). address is a dotted quad or IPv6 text, bracketed or not ("::1",
 * "[::1]"), never a name; http_port 0: KELVARO_HTTP_PORT (a directory serves
 * HTTP only on the port its [Http] Port names). max_zones 0:
 * KELVARO_DEFAULT_MAX_ZONES. An empty list is KELVARO_OK with *zones null.
 *
 * The answer is read up to KELVARO_WEB_BYTES_BASE + KELVARO_WEB_BYTES_PER_ZONE
 * bytes per zone of max_zones (more than the longest entry a directory
 * writes), at most KELVARO_WEB_BYTES_MOST, so a hostile server cannot make
 * the call hold more than about twice that; a longer answer, or one with more
 * zones than max_zones, fails with KELVARO_ERR_TOO_MANY. Texts are read as
 * /zones.json writes them (\u00XX is that byte; any other \uXXXX, a surrogate
 * pair combined, is its UTF-8) and cut like a UDP list's: a name at 31 bytes,
 * a description at 255, both at a NUL.
 *
 * KELVARO_ERR_SOCKET: no socket, or the connection was refused;
 * KELVARO_ERR_TIMEOUT: the answer was not whole in time; KELVARO_ERR_CLOSED:
 * the connection ended before the answer's head or its Content-Length did;
 * KELVARO_ERR_HTTP: a status but 200; KELVARO_ERR_MALFORMED: not the answer
 * a directory gives (a chunked or compressed body, a zone without its address
 * or port, an address that is not one, a number out of its range, anything that
 * is not JSON). On a failure *zones is null and *count 0. */
#define KELVARO_WEB_BYTES_BASE 65536u
#define KELVARO_WEB_BYTES_PER_ZONE 2560u
#define KELVARO_WEB_BYTES_MOST 1073741824u
KELVARO_API kelvaro_status kelvaro_fetch_web(const char *address, uint16_t http_port,
                                             uint32_t timeout_ms, uint32_t max_zones,
                                             kelvaro_web_zone **zones, size_t *count);
KELVARO_API void kelvaro_free_web_zones(kelvaro_web_zone *zones);

/* ---- Staying listed (game servers) ---- */

typedef struct kelvaro_zone kelvaro_zone;

/* Called for every ping the zone answered, from poll, with the sender's
 * address (network order) and port. It must not destroy the zone. */
typedef void (*kelvaro_ping_callback)(void *user, uint32_t address, uint16_t port);

typedef struct kelvaro_zone_directory_state {
    uint32_t updates_sent;
    uint32_t pings;          /* pings from this directory answered */
    int pinged;              /* nonzero once it has pinged */
    uint32_t ms_since_ping;  /* since its last ping, when pinged */
    int count_known;         /* it has answered a count query */
    uint32_t count;          /* its latest answer */
    uint32_t count_replies;  /* count replies received from it */
} kelvaro_zone_directory_state;

/* kelvaro_zone_create flags. NO_PINGS: announce from an ephemeral port and
 * answer no pings (someone else answers port + 1, or the zone announces once
 * and goes); a directory drops a zone whose pings go unanswered. */
#define KELVARO_ZONE_NO_PINGS 1u

/* A zone announcing port (the game's own port) and answering pings on
 * port + 1, which it binds here: port must be 1..65534 (1..65535 with
 * NO_PINGS). The name must be set before the first announcement goes out. */
KELVARO_API kelvaro_status kelvaro_zone_create(kelvaro_zone **out, uint16_t port, unsigned flags);
KELVARO_API void kelvaro_zone_destroy(kelvaro_zone *zone);
/* Adds a directory to announce to (update_port 0: KELVARO_UPDATE_PORT);
 * *index (may be null) names it in kelvaro_zone_directory. */
KELVARO_API kelvaro_status kelvaro_zone_add_directory(kelvaro_zone *zone, const char *address,
                                          uint16_t update_port, size_t *index);
/* The texts are taken as bytes: name 1..31, password 0..15, description
 * 0..425 bytes. A name must also be one a directory lists: printable ASCII
 * words separated by single spaces, no leading or trailing space; any other
 * is refused with KELVARO_ERR_ARGUMENT. A change goes out with the next
 * announcement. */
/* KELVARO_OK when kelvaro_zone_set_name would take name. */
KELVARO_API kelvaro_status kelvaro_check_zone_name(const char *name);
KELVARO_API kelvaro_status kelvaro_zone_set_name(kelvaro_zone *zone, const char *name);
KELVARO_API kelvaro_status kelvaro_zone_set_password(kelvaro_zone *zone, const char *password);
KELVARO_API kelvaro_status kelvaro_zone_set_description(kelvaro_zone *zone, const char *description);
KELVARO_API kelvaro_status kelvaro_zone_set_population(kelvaro_zone *zone, uint16_t population);
KELVARO_API kelvaro_status kelvaro_zone_set_flag(kelvaro_zone *zone, uint16_t flag); /* 0 or 1 */
KELVARO_API kelvaro_status kelvaro_zone_set_word(kelvaro_zone *zone, uint32_t word);
/* Announces every interval_ms (default 10000); 0: only on kelvaro_zone_announce. */
KELVARO_API kelvaro_status kelvaro_zone_set_interval(kelvaro_zone *zone, uint32_t interval_ms);
KELVARO_API kelvaro_status kelvaro_zone_set_ping_callback(kelvaro_zone *zone, kelvaro_ping_callback callback,
                                              void *user);
/* Sends the update to every directory now. A count query sent after it
 * confirms it: a directory reads its update port in order. The interval's
 * own announcements send one after each update. */
KELVARO_API kelvaro_status kelvaro_zone_announce(kelvaro_zone *zone);
/* Sends one count query to directory index; its answer arrives through poll. */
KELVARO_API kelvaro_status kelvaro_zone_query_count(kelvaro_zone *zone, size_t index);
/* Answers the pings waiting, reads count replies, announces when due. */
KELVARO_API kelvaro_status kelvaro_zone_poll(kelvaro_zone *zone);
KELVARO_API int kelvaro_zone_fd(const kelvaro_zone *zone);
KELVARO_API kelvaro_status kelvaro_zone_directory(const kelvaro_zone *zone, size_t index,
                                      kelvaro_zone_directory_state *state);

#ifdef __cplusplus
}
#endif

#endif /* KELVARO_H */
