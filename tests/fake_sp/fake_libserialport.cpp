// stand-in for libserialport (to be written)
#include <libserialport.h>
