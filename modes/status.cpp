#include "modes/status.h"

#include "spawn/capture.h"

step_result show_exit_status(const query_result& query)
{
    if (query.end == query_end::abandoned)
        return end_mode();
    return show_level(query.status == 0 ? 1 : 0);
}

step_result show_listing(const char* capture, const char* query, step_result (*listed)())
{
    tool_answer answer;
    ask_tool(capture, query, &answer);
    if (answer.query.end == query_end::abandoned)
        return end_mode();
    // The status is not used: the listing's length says it all.
    return answer.whole && answer.head.size > 1 ? listed() : show_level(0);
}
