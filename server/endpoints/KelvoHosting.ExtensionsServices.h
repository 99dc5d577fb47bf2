// Services the server offers to resources and extension packages through the registry.
#pragma once

#include "KelvoServerAPI.Segments.h"

/// Splits endpoint path suffixes into segment templates.
class TKelvoSegmentsService : public IKelvoSegmentsService {
 public:
  void ExtractSegments(const std::string& path_template, TKelvoEndpointSegmentList& list) const override;
  int CountSegments(const std::string& path_template) const override;
};
