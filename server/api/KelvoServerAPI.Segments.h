// Segment templates of endpoint path suffixes ("{id}", "{mname}/resources", "*").
#pragma once

#include <memory>
#include <string>
#include <vector>

class TKelvoEndPointSegment {
 public:
  enum class TKind { Slash, Constant, Parameter, WildCard };
  virtual ~TKelvoEndPointSegment() = default;
  virtual TKind Kind() const = 0;
  /// The constant's text (with its trailing "/" when it has one) or the parameter's name.
  virtual std::string Text() const { return {}; }
};

class TKelvoEndPointSegmentSlash : public TKelvoEndPointSegment {
 public:
  TKind Kind() const override { return TKind::Slash; }
};

class TKelvoEndPointSegmentConstant : public TKelvoEndPointSegment {
 public:
  explicit TKelvoEndPointSegmentConstant(std::string text) : FText(std::move(text)) {}
  TKind Kind() const override { return TKind::Constant; }
  std::string Text() const override { return FText; }

 private:
  std::string FText;
};

class TKelvoEndPointSegmentParameter : public TKelvoEndPointSegment {
 public:
  explicit TKelvoEndPointSegmentParameter(std::string name) : FName(std::move(name)) {}
  TKind Kind() const override { return TKind::Parameter; }
  std::string Text() const override { return FName; }

 private:
  std::string FName;
};

class TKelvoEndPointSegmentWildCard : public TKelvoEndPointSegment {
 public:
  TKind Kind() const override { return TKind::WildCard; }
};

using TKelvoEndpointSegmentList = std::vector<std::unique_ptr<TKelvoEndPointSegment>>;

/// Turns path suffixes into segment lists; the server registers it in KelvoServices().
class IKelvoSegmentsService {
 public:
  virtual ~IKelvoSegmentsService() = default;
  virtual void ExtractSegments(const std::string& path_template, TKelvoEndpointSegmentList& list) const = 0;
  virtual int CountSegments(const std::string& path_template) const = 0;
};
