// Resource accounting of export calls. Every call gives back each block and
// file it obtained before it returns; the only blocks that outlive a call are
// the ones the library keeps between calls on purpose (the preview tile and
// the preview raster's pixels, the editor link's working raster). Each export
// holds an ExportAccounting for its duration, which checks this on return
// where the platform counts resources (the native build).
#pragma once

#include "services/services.h"

namespace kelvra {

// The blocks the library holds between calls right now (files: always 0).
ResourceCount KeptBetweenCalls();

class ExportAccounting {
 public:
  explicit ExportAccounting(const char* exportName)
      : name_(exportName), atEntry_(OutstandingResources()), keptAtEntry_(KeptBetweenCalls()) {}
  ~ExportAccounting() {
    CheckExportResources(name_, atEntry_, keptAtEntry_, KeptBetweenCalls());
  }
  ExportAccounting(const ExportAccounting&) = delete;
  ExportAccounting& operator=(const ExportAccounting&) = delete;

 private:
  const char* name_;
  ResourceCount atEntry_;
  ResourceCount keptAtEntry_;
};

}  // namespace kelvra
