/* The contract between the packer, the bootstrap and the application: the
   attached data block as it is stored, the names a run gives what it makes
   in the temporary directory, and the variables it passes on. Plain C that
   depends on nothing, so that every folder of the bootstrap, the host
   packer, the tests and applications (through onefile_app.h) take these
   values from one place. Strings are narrow; ONEFILE_WIDE makes a wide one
   of a literal. */
#ifndef ONEFILE_CONTRACT_H
#define ONEFILE_CONTRACT_H

#define ONEFILE_WIDEN(text) L##text
#define ONEFILE_WIDE(text) ONEFILE_WIDEN(text)

/* --- The attached data block.
   The magic, then one zstd frame whose content is the record stream, then
   at least ONEFILE_BLOCK_MINIMUM_PADDING zero bytes, as many as put the
   trailer at a multiple of ONEFILE_BLOCK_TRAILER_ALIGNMENT (6 to 13), then
   the trailer: the block's length before it, unsigned 64-bit little-endian.
   The frame declares a content checksum, and a window of at most
   2^ONEFILE_WINDOW_LOG_MAX bytes. */
#define ONEFILE_BLOCK_MAGIC "MXY"
#define ONEFILE_BLOCK_MAGIC_LENGTH 3
#define ONEFILE_BLOCK_MINIMUM_PADDING 6
#define ONEFILE_BLOCK_TRAILER_ALIGNMENT 8
#define ONEFILE_BLOCK_TRAILER_SIZE 8
#define ONEFILE_WINDOW_LOG_MAX 27

/* The zero bytes between a frame that ends `bytesBefore` bytes into its block
   (the magic counted) and the trailer: the one rule the packer writes by and
   the bootstrap and the inspector check by. */
static inline unsigned long long onefile_block_padding(unsigned long long bytesBefore)
{
    const unsigned long long least = ONEFILE_BLOCK_MINIMUM_PADDING, alignment = ONEFILE_BLOCK_TRAILER_ALIGNMENT;
    return least + (alignment - (bytesBefore + least) % alignment) % alignment;
}

/* --- Where the block lies in a packed executable. The SDK's bootstrap
   images are linked once, without a block; the packer appends a section of
   its own (ONEFILE_SECTION_NAME: initialised, read-only data) holding the
   executable's settings and the block, and fills in the one descriptor the
   image carries in its read-only data. The descriptor, found by its mark:
   ONEFILE_DESCRIPTOR_MARK (16 bytes, its NUL included), then four unsigned
   32-bit little-endian values: ONEFILE_DESCRIPTOR_FORMAT, the section's
   relative virtual address and its size (both 0 in an image not packed),
   and 0. The settings at the section's start, all little-endian:
     0  8  ONEFILE_SETTINGS_MAGIC (its NUL included)
     8  4  ONEFILE_DESCRIPTOR_FORMAT
    12  4  flags: ONEFILE_SETTING_*
    16  4  how many versions the cache keeps (0 without the cache)
    20  4  0
    24  8  the block's offset in the section (a multiple of
           ONEFILE_SECTION_BLOCK_ALIGNMENT, so the loader maps it from the file)
    32  8  the block's size
    40  8  the run folders' parent spec: offset in the section, UTF-16 units
    48  8  the cache's folder spec (root\name), likewise; no units without it
    56  8  the cache version's id, likewise
   Each text is that many UTF-16LE units, none of them 0, then a 0 unit, at
   an even offset after the settings' header and before the block. */
#define ONEFILE_SECTION_NAME ".onefile"
#define ONEFILE_DESCRIPTOR_MARK "onefile:section"
#define ONEFILE_DESCRIPTOR_MARK_SIZE 16
#define ONEFILE_DESCRIPTOR_SIZE 32
#define ONEFILE_DESCRIPTOR_FORMAT 1
#define ONEFILE_SETTINGS_MAGIC "onefile"
#define ONEFILE_SETTINGS_HEADER_SIZE 64
#define ONEFILE_SECTION_BLOCK_ALIGNMENT 4096
#define ONEFILE_SETTINGS_TEXT_MAX_UNITS 4095
#define ONEFILE_SETTING_SWEEP 1u
#define ONEFILE_SETTING_ERROR_DIALOG 2u
#define ONEFILE_SETTING_SPLASH_PROGRESS 4u
#define ONEFILE_SETTING_CACHE_RECHECK 8u

/* --- The record stream: records of a name (UTF-16LE units, none of them
   0, then the unit 0), a size (unsigned 64-bit little-endian) and that
   many bytes of data; a name of no units ends the stream. The first record
   is the application's DLL. A name has at most ONEFILE_RECORD_NAME_MAX_UNITS
   units before its terminator. */
#define ONEFILE_RECORD_NAME_MAX_UNITS 1023
#define ONEFILE_RECORD_SIZE_BYTES 8

/* --- The splash image: a PNG resource of type RT_RCDATA with this id,
   each side at most ONEFILE_SPLASH_MAX_SIDE pixels. */
#define ONEFILE_SPLASH_RESOURCE_ID 28
#define ONEFILE_SPLASH_MAX_SIDE 16384

/* --- The splash's line of text: while a splash shows, the bootstrap holds
   a section without a name, laid out as onefile_splash_text_channel, and
   hands it to its child as an inherited handle whose value (decimal) is in
   ONEFILE_VARIABLE_SPLASH_TEXT; the child drops the variable unless the
   bootstrap created it directly. A writer takes an even sequence to the
   next odd value (never waiting for another writer), writes the
   NUL-terminated text, then makes the sequence even again; the bootstrap
   draws a text it read between two equal even values. Taking the splash
   down sets the sequence to ONEFILE_SPLASH_TEXT_CLOSED (odd) for good. */
#define ONEFILE_VARIABLE_SPLASH_TEXT "MERLOX_ONEFILE_SPLASH_TEXT"
#define ONEFILE_SPLASH_TEXT_MAX_UNITS 255
#define ONEFILE_SPLASH_TEXT_CLOSED (-1)
#ifdef _WIN32
typedef struct onefile_splash_text_channel {
    volatile LONG sequence;
    WCHAR text[ONEFILE_SPLASH_TEXT_MAX_UNITS + 1];
} onefile_splash_text_channel;
#endif

/* --- Names a run makes. Its own folder is ONEFILE_RUN_NAME_SPEC expanded
   below the parent the executable was built with (ONEFILE_TARGET_SPEC by
   default, another with --temp-dir): "onefile_", the bootstrap's process id
   (decimal, no leading zero), "_", ONEFILE_TIME_US_DIGITS digits, "_",
   ONEFILE_RANDOM_LENGTH characters of the random alphabet. The splash
   feedback file is ONEFILE_FEEDBACK_SPEC expanded, always in TEMP; the
   application deletes it to take the splash down. */
#define ONEFILE_RUN_NAME_PREFIX "onefile_"
#define ONEFILE_FEEDBACK_NAME_SUFFIX "splash_feedback.tmp"
#define ONEFILE_RUN_NAME_SPEC ONEFILE_RUN_NAME_PREFIX "{PID}_{TIME_US}_{RANDOM}"
#define ONEFILE_TARGET_SPEC "{TEMP}\\" ONEFILE_RUN_NAME_SPEC
#define ONEFILE_FEEDBACK_SPEC "{TEMP}\\" ONEFILE_RUN_NAME_PREFIX "{PID}_" ONEFILE_FEEDBACK_NAME_SUFFIX
#define ONEFILE_TIME_US_DIGITS 6
#define ONEFILE_RANDOM_LENGTH 11

/* --- Variables. The bootstrap sets the first four for its child and reads
   them back there; the application reads the last three. */
#define ONEFILE_VARIABLE_PARENT "MERLOX_ONEFILE_PARENT"
#define ONEFILE_VARIABLE_START "MERLOX_ONEFILE_START"
#define ONEFILE_VARIABLE_TIME_US "MERLOX_ONEFILE_TIME_US"
#define ONEFILE_VARIABLE_RANDOM "MERLOX_ONEFILE_RANDOM"
#define ONEFILE_VARIABLE_DIRECTORY "MERLOX_ONEFILE_DIRECTORY"
#define ONEFILE_VARIABLE_ORIGINAL_ARGV0 "MERLOX_ORIGINAL_ARGV0"
/* The folder the application runs from when it is not the run's own: the
   shared cache's folder of this version (or, in a repair that could not
   finish, the run's staging folder). */
#define ONEFILE_VARIABLE_TARGET "MERLOX_ONEFILE_TARGET"
/* The opt-in trace of a start's steps: "1" in ONEFILE_VARIABLE_TRACE writes
   them to standard error; ONEFILE_VARIABLE_TRACE_FILE names a file to
   append them to instead. */
#define ONEFILE_VARIABLE_TRACE "MERLOX_ONEFILE_TRACE"
/* The bootstrap's process id, in a copy it starts after a run to finish
   the sweep and the cache's upkeep: that copy runs no application. Taken
   only in a process the named one created. */
#define ONEFILE_VARIABLE_UPKEEP "MERLOX_ONEFILE_UPKEEP"
#define ONEFILE_VARIABLE_TRACE_FILE "MERLOX_ONEFILE_TRACE_FILE"

/* --- The shared cache (executables packed with --cache): each version in
   <root>\<name>\<id>, <id> ONEFILE_CACHE_ID_LENGTH hex digits of XXH64
   over the block, seeded with ONEFILE_CACHE_LAYOUT (so that an executable
   never reuses a version of another layout); being built in
   <id>.staging-<pid>-<random>, and set aside for removal in
   <id>.old-<pid>-<random>. The application's files are in the version's
   folder ONEFILE_CACHE_PAYLOAD_NAME, and nothing else is: the cache's own
   files lie beside it. The version's manifest,
   ONEFILE_CACHE_MANIFEST_NAME, lists every entry of the payload as it was published; a
   version counts as one only with it. ONEFILE_CACHE_DAMAGED_NAME in a
   version marks it damaged (a start could not load the application from
   it): listed in no manifest, it fails the next start's check, which
   repairs the version. Files whose names begin with
   ONEFILE_CACHE_RECHECK_NAME, at a version's top, record its content's
   recheck (the record, its slots for unproven starts, a record being
   written) and are in no listing. Every name the cache keeps begins with
   ONEFILE_CACHE_RESERVED_PREFIX: no payload's top may use it. */
#define ONEFILE_CACHE_ID_LENGTH 16
#define ONEFILE_CACHE_LAYOUT 2
#define ONEFILE_CACHE_PAYLOAD_NAME "app"
#define ONEFILE_CACHE_STAGING_INFIX ".staging-"
#define ONEFILE_CACHE_OLD_INFIX ".old-"
#define ONEFILE_CACHE_MANIFEST_NAME "onefile-cache.manifest"
#define ONEFILE_CACHE_DAMAGED_NAME "onefile-cache.damaged"
#define ONEFILE_CACHE_RECHECK_NAME "onefile-cache.recheck"
#define ONEFILE_CACHE_RESERVED_PREFIX "onefile-cache."
#define ONEFILE_CACHE_NAME_MAX 64

#endif
