#include "KelvoHosting.ExtensionsServices.h"

#include "KelvoHosting.Endpoints.h"

namespace {
std::vector<std::string> TemplateSegments(const std::string& path_template) {
  return SplitPathSegments(!path_template.empty() && path_template[0] == '/' ? path_template.substr(1) : path_template);
}
}  // namespace

void TKelvoSegmentsService::ExtractSegments(const std::string& path_template, TKelvoEndpointSegmentList& list) const {
  for (const auto& segment : TemplateSegments(path_template)) {
    if (segment == "/") {
      list.push_back(std::make_unique<TKelvoEndPointSegmentSlash>());
    } else if (segment == "*") {
      list.push_back(std::make_unique<TKelvoEndPointSegmentWildCard>());
    } else if (segment[0] == '{') {
      std::string name = segment.substr(1);
      for (const char* ending : {"}/", "}", "/"}) {
        const std::string e = ending;
        if (name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) {
          name.erase(name.size() - e.size());
          break;
        }
      }
      list.push_back(std::make_unique<TKelvoEndPointSegmentParameter>(name));
    } else {
      list.push_back(std::make_unique<TKelvoEndPointSegmentConstant>(segment));
    }
  }
}

int TKelvoSegmentsService::CountSegments(const std::string& path_template) const {
  return static_cast<int>(TemplateSegments(path_template).size());
}
