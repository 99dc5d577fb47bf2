/* The baseline for the benchmarks: the least an Apache module can do to answer a request. */
#include "httpd.h"
#include "http_config.h"
#include "http_protocol.h"

static int trivial_handler(request_rec *r) {
    static const char body[] = "{\"version\":\"4.1\"}";
    if (!r->handler || strcmp(r->handler, "trivial-handler") != 0) return DECLINED;
    ap_set_content_type(r, "application/json");
    ap_set_content_length(r, sizeof(body) - 1);
    if (!r->header_only) ap_rwrite(body, sizeof(body) - 1, r);
    return OK;
}

static void trivial_register_hooks(apr_pool_t *pool) {
    (void)pool;
    ap_hook_handler(trivial_handler, NULL, NULL, APR_HOOK_MIDDLE);
}

module AP_MODULE_DECLARE_DATA trivial_module = {
    STANDARD20_MODULE_STUFF, NULL, NULL, NULL, NULL, NULL, trivial_register_hooks, 0
};
