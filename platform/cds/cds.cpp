// Placeholder until this module is built.
#include "cds.h"
pcd_handle_t pcd_init(void) { return 0; }
void pcd_close(pcd_handle_t) {}
namespace toolkit {
CElement::CElement() : type_(TYPE_NONE), b_(false), i_(0) {}
void CElement::set_bool(bool v) { type_ = TYPE_BOOL; b_ = v; }
void CElement::set_int(int32_t v) { type_ = TYPE_INT; i_ = v; }
void CElement::set_string(const std::string& v) { type_ = TYPE_STRING; s_ = v; }
bool CElement::to_bool() const { return b_; }
int32_t CElement::to_int() const { return i_; }
void CElement::to_string(std::string& out) const { out = s_; }
CCds::CCds(pcd_handle_t h) : handle_(h) {}
CCds::~CCds() {}
void CCds::set_handle(pcd_handle_t h) { handle_ = h; }
int CCds::get_leaf(const std::string&, api_status_t& s, CElement&, element_property_t&) { s = CDS_STATUS_NO_STORE; return -1; }
int CCds::get_leaves(const std::vector<std::string>&, std::vector<api_status_t>&, std::vector<CElement>&, std::vector<element_property_t>&) { return -1; }
int CCds::set_leaf(const std::string&, const CElement&, api_status_t& s, pcd_tribool_t, std::string&) { s = CDS_STATUS_NO_STORE; return -1; }
}
