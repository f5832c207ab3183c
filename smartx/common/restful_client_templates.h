// The request templates of RESTful_Client that every typed query and
// mutation is built on. Include it only in the .cpp files that define typed
// operations, together with the record headers they use.
#ifndef SMARTX_COMMON_RESTFUL_CLIENT_TEMPLATES_H
#define SMARTX_COMMON_RESTFUL_CLIENT_TEMPLATES_H

#include <string>
#include <utility>
#include <vector>

#include "qorm/snprintf.h"
#include "smartx/common/item.h"
#include "smartx/common/restful_client.h"

namespace smartx {

namespace restful_client_detail {
// At error priority, without the caller's record.
void log_not_found(int type, const char* details);
}  // namespace restful_client_detail

template <class I, class R>
bool RESTful_Client::send_ss_request(const I& item, Message::Type type, R& result, Error* error,
                                     int method) {
    Single_Item_Response<Error> error_channel(version_, Message::ERROR, error_record(error));
    Single_Item_Request<I> request(version_, type, item);
    Single_Item_Response<R> response(version_, type, result);
    return send_request(method, request, response, error_channel);
}

template <class I, class R>
bool RESTful_Client::send_sm_request(const I& item, Message::Type type, std::vector<R>& results,
                                     Error* error, int method) {
    Single_Item_Response<Error> error_channel(version_, Message::ERROR, error_record(error));
    Single_Item_Request<I> request(version_, type, item);
    Multi_Item_Response<R> response(version_, type, results);
    return send_request(method, request, response, error_channel);
}

template <class I, class R>
bool RESTful_Client::send_mm_request(const std::vector<I>& items, Message::Type type,
                                     std::vector<R>& results, Error* error, int method) {
    Single_Item_Response<Error> error_channel(version_, Message::ERROR, error_record(error));
    Multi_Item_Request<I> request(version_, type, items);
    Multi_Item_Response<R> response(version_, type, results);
    return send_request(method, request, response, error_channel);
}

template <class T>
bool RESTful_Client::query_items_by_page(Query_Params& params, Message::Type type,
                                         std::vector<T>& items, Error* error) {
    // Counted from what the vector holds on entry, so earlier records never
    // end the paging early.
    size_t previous_size = items.size();
    std::string previous_first_id;
    for (int page = 0; page < MAX_PAGES; ++page) {
        params.skip(page * PAGE_SIZE).first(PAGE_SIZE);
        if (!send_sm_request(params, type, items, error, METHOD_POST))
            return false;
        const size_t count = items.size() - previous_size;
        if (count != static_cast<size_t>(PAGE_SIZE))
            return true;
        // A server that ignores "skip" serves the first page again and again.
        const std::string& first_id = items[previous_size].id;
        if (page > 0 && first_id == previous_first_id) {
            items.resize(previous_size);
            report_error(
                error, -1,
                snprintf_t<1024>(
                    "Failed to query items by page, type: %d, details: page %d repeats the "
                    "records of page %d.",
                    static_cast<int>(type), page, page - 1)
                    .c_str());
            return false;
        }
        previous_first_id = first_id;
        previous_size = items.size();
    }
    report_error(
        error, -1,
        snprintf_t<1024>("Failed to query items by page, type: %d, details: more than %d pages.",
                         static_cast<int>(type), static_cast<int>(MAX_PAGES))
            .c_str());
    return false;
}

template <class T>
bool RESTful_Client::query_items_by_ids(Query_Params& params, Message::Type type,
                                        std::vector<T>& items, Error* error) {
    params.where("id_in", dump_item_ids(items));
    items.clear();
    return query_items_by_page(params, type, items, error);
}

template <class T>
bool RESTful_Client::query_items_by_ids(Message::Type type, std::vector<T>& items, Error* error) {
    Query_Params params;
    return query_items_by_ids(params, type, items, error);
}

template <class P, class T>
bool RESTful_Client::send_sm_request_and_get_one(const P& params, Message::Type type, T& item,
                                                 Error* error, int method) {
    std::vector<T> found;
    if (!send_sm_request(params, type, found, error, method))
        return false;
    if (found.empty()) {
        error_record(error).reset(-1, NOT_FOUND_MESSAGE);
        if (error == nullptr) {
            restful_client_detail::log_not_found(type, error_.message.c_str());
            error_.clear();
        }
        return false;
    }
    item = std::move(found.front());
    return true;
}

template <class S, class T>
bool RESTful_Client::send_async_task_request_with_setting(const S& setting, Message::Type type,
                                                          Async_Task<T>& task, Error* error) {
    const std::vector<S> settings(1, setting);
    std::vector<Async_Task<T>> tasks;
    if (!send_mm_request(settings, type, tasks, error, METHOD_POST))
        return false;
    if (tasks.empty()) {
        report_error(error, -1, "Failed to send async task request.");
        return false;
    }
    task = std::move(tasks.front());
    if (task_hook_ && !task.data.id.empty())
        task_hook_(type, task.data.id, task.task_id);
    return wait_task_finish(task.task_id, error);
}

template <class T>
bool RESTful_Client::send_async_task_request_with_params(const Params& params, Message::Type type,
                                                         Error* error) {
    Async_Task<T> task;
    if (!send_sm_request_and_get_one(params, type, task, error, METHOD_POST))
        return false;
    if (task_hook_ && !task.data.id.empty())
        task_hook_(type, task.data.id, task.task_id);
    return wait_task_finish(task.task_id, error);
}

}  // namespace smartx

#endif
