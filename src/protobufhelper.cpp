#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>

void protobufLibraryInit()
{
    // The runtime refuses headers older than its own minimum, so check against the headers
    // actually compiled in rather than a fixed number.
    GOOGLE_PROTOBUF_VERIFY_VERSION;
}

void protobufLibraryShutdown()
{
    google::protobuf::ShutdownProtobufLibrary();
}
