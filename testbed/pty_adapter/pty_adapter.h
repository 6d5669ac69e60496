/* What the adapter's files share, kept out of its exported symbols: only
 * the calls it answers may interpose on the program's. */
#ifndef PARDULO_PTY_ADAPTER_H
#define PARDULO_PTY_ADAPTER_H

/* True when fd is a Unix98 pty slave. */
__attribute__((visibility("hidden"))) int IsPtySlave(int fd);

/* The next definition of name after the adapter, looked up once into *slot:
 * a lookup on every call would add to the host's cost per byte. */
__attribute__((visibility("hidden"))) void *NextCached(void **slot, const char *name);

#endif
