// The store client's classes (elements, the connection) over a backend that keeps the leaves:
// the stand-in's files, or the field simulator's memory. What a call gives back for a missing
// connection, a leaf not read or a list of leaves is decided here once for both.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "cds.h"
#include "store_backend.h"

namespace toolkit {

CElement::CElement() : type_(TYPE_NONE), b_(false), i_(0) {}

void CElement::set_bool(bool v) {
    type_ = TYPE_BOOL;
    b_ = v;
}

void CElement::set_int(int32_t v) {
    type_ = TYPE_INT;
    i_ = v;
}

void CElement::set_string(const std::string& v) {
    type_ = TYPE_STRING;
    s_ = v;
}

bool CElement::to_bool() const {
    switch (type_) {
    case TYPE_BOOL: return b_;
    case TYPE_INT: return i_ != 0;
    case TYPE_STRING: return s_ == "true" || s_ == "1";
    default: return false;
    }
}

int32_t CElement::to_int() const {
    switch (type_) {
    case TYPE_BOOL: return b_ ? 1 : 0;
    case TYPE_INT: return i_;
    case TYPE_STRING: {
        // strtoll, not strtol: long is 32 bits on the target and would clamp before we do.
        long long v = strtoll(s_.c_str(), nullptr, 10);
        if (v < INT32_MIN) return INT32_MIN;
        if (v > INT32_MAX) return INT32_MAX;
        return static_cast<int32_t>(v);
    }
    default: return 0;
    }
}

void CElement::to_string(std::string& out) const {
    switch (type_) {
    case TYPE_BOOL: out = b_ ? "true" : "false"; break;
    case TYPE_INT: {
        char num[16];
        snprintf(num, sizeof num, "%ld", static_cast<long>(i_));
        out = num;
        break;
    }
    case TYPE_STRING: out = s_; break;
    default: out.clear(); break;
    }
}

CCds::CCds(pcd_handle_t handle) : handle_(handle) {}

CCds::~CCds() {
    if (handle_ != 0) pcd_close(handle_);
}

void CCds::set_handle(pcd_handle_t handle) {
    if (handle_ != 0 && handle_ != handle) pcd_close(handle_);
    handle_ = handle;
}

int CCds::get_leaf(const std::string& path, api_status_t& status, CElement& element,
                   element_property_t& info) {
    if (!cdsbackend::Open(handle_)) {
        element = CElement();
        info = element_property_t();
        status = CDS_STATUS_NO_STORE;
        return -1;
    }
    status = cdsbackend::Read(handle_, path, element, info);
    return 0;
}

int CCds::get_leaves(const std::vector<std::string>& paths, std::vector<api_status_t>& statuses,
                     std::vector<CElement>& elements, std::vector<element_property_t>& infos) {
    const bool open = cdsbackend::Open(handle_);
    statuses.assign(paths.size(), open ? CDS_STATUS_OK : CDS_STATUS_NO_STORE);
    elements.assign(paths.size(), CElement());
    infos.assign(paths.size(), element_property_t());
    if (!open) return -1;
    for (size_t i = 0; i < paths.size(); i++)
        statuses[i] = cdsbackend::Read(handle_, paths[i], elements[i], infos[i]);
    return 0;
}

int CCds::set_leaf(const std::string& path, const CElement& element, api_status_t& status,
                   pcd_tribool_t, std::string&) {
    if (!cdsbackend::Open(handle_)) {
        status = CDS_STATUS_NO_STORE;
        return -1;
    }
    status = cdsbackend::Write(handle_, path, element);
    return 0;
}

}  // namespace toolkit
