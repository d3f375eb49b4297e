// PLACEHOLDER until the kind lands.
#include "kinds.h"
#include "module.h"

namespace bucket {

Ref create_range_bucket_class(PyObject* globals)
{
    Ref base = lookup_global(globals, names.BaseBucket);
    if (!base) {
        return base;
    }
    return make_class(globals, "Bucket", base.get(), nullptr, nullptr, 0);
}

}  // namespace bucket
