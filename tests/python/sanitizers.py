"""Whether this process runs with a sanitizer runtime loaded (the sanitizer runs preload it)."""


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)
