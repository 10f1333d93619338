// What the store client's classes (client.cpp) need of whatever keeps the leaves: the stand-in's
// files (cds.cpp) or the field simulator's memory. pcd_init and pcd_close come with the backend.
#pragma once

#include <string>

#include "cds.h"

namespace cdsbackend {

// Whether the handle names an open store connection.
bool Open(pcd_handle_t handle);
// Reads one leaf of an open store. A leaf not read leaves an empty element and a zeroed info.
api_status_t Read(pcd_handle_t handle, const std::string& path, toolkit::CElement& element,
                  element_property_t& info);
api_status_t Write(pcd_handle_t handle, const std::string& path, const toolkit::CElement& element);

}  // namespace cdsbackend
