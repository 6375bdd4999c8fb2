#include "documents/geoposition.h"
