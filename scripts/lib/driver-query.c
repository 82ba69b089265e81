/* Asks the CUDA driver (libcuda.so.1, loaded at run time, so that building this needs no CUDA
 * toolkit) which CUDA version it supports and which GPUs it lets this process see; the driver
 * itself applies CUDA_VISIBLE_DEVICES. Prints
 *
 *   driver 13000
 *   gpu 90 NVIDIA H100 80GB HBM3
 *
 * the driver line whenever the library answers, then one gpu line for each GPU: its compute
 * capability (major and minor digit) and its name. Exits 0 when there is at least one GPU.
 * Exits 10 (with the reason on stderr) where there is no GPU: no driver library, or the driver
 * says CUDA_ERROR_NO_DEVICE, or it counts none. Exits 11 where the driver fails otherwise, as
 * after a driver update without a restart, printing
 *
 *   fails cuInit CUDA_ERROR_SYSTEM_DRIVER_MISMATCH 803
 *
 * (the call, the error's name and number): that is a broken driver, not a missing GPU.
 *
 * Written so that a C or a C++ compiler builds it: scripts/find-gpu takes whichever it finds. */
#include <dlfcn.h>
#include <stdio.h>

typedef int (*init_fn)(unsigned int);
typedef int (*int_out_fn)(int*);
typedef int (*device_get_fn)(int*, int);
typedef int (*attribute_fn)(int*, int, int);
typedef int (*name_fn)(char*, int, int);
typedef int (*error_name_fn)(int, const char**);

enum { capability_major = 75, capability_minor = 76 }; /* CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_* */
enum { no_device = 100 };                               /* CUDA_ERROR_NO_DEVICE */
enum { no_gpu = 10, driver_fails = 11 };                /* exit statuses */

static void* library;

static void* entry(const char* name)
{
    void* function = dlsym(library, name);
    if (function == NULL) {
        printf("fails dlsym %s-missing-from-libcuda.so.1 0\n", name);
    }
    return function;
}

static const char* error_name(int status)
{
    error_name_fn get_name = (error_name_fn)dlsym(library, "cuGetErrorName");
    const char* name = NULL;
    if (get_name == NULL || get_name(status, &name) != 0 || name == NULL) {
        return "an_unnamed_error";
    }
    return name;
}

int main(void)
{
    library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "driver-query: no CUDA driver: %s\n", dlerror());
        return no_gpu;
    }
    int_out_fn driver_version = (int_out_fn)entry("cuDriverGetVersion");
    init_fn init = (init_fn)entry("cuInit");
    int_out_fn device_count = (int_out_fn)entry("cuDeviceGetCount");
    device_get_fn device_get = (device_get_fn)entry("cuDeviceGet");
    attribute_fn attribute = (attribute_fn)entry("cuDeviceGetAttribute");
    name_fn device_name = (name_fn)entry("cuDeviceGetName");
    if (!driver_version || !init || !device_count || !device_get || !attribute || !device_name) {
        return driver_fails;
    }
    int version = 0;
    if (driver_version(&version) == 0) {
        printf("driver %d\n", version);
    }
    const char* call = "cuInit";
    int status = init(0);
    int count = 0;
    if (status == 0) {
        call = "cuDeviceGetCount";
        status = device_count(&count);
    }
    if (status == no_device) {
        fprintf(stderr, "driver-query: the driver has no usable GPU: %s\n", error_name(status));
        return no_gpu;
    }
    if (status != 0) {
        printf("fails %s %s %d\n", call, error_name(status), status);
        return driver_fails;
    }
    int found = 0;
    for (int ordinal = 0; ordinal < count; ++ordinal) {
        int device = 0, major = 0, minor = 0;
        char name[256] = "";
        if (device_get(&device, ordinal) != 0 || attribute(&major, capability_major, device) != 0 ||
            attribute(&minor, capability_minor, device) != 0) {
            continue;
        }
        if (device_name(name, (int)sizeof name, device) != 0) {
            name[0] = '\0';
        }
        printf("gpu %d%d %s\n", major, minor, name);
        ++found;
    }
    if (found == 0) {
        fprintf(stderr, "driver-query: the driver reports no GPU\n");
        return no_gpu;
    }
    return 0;
}
