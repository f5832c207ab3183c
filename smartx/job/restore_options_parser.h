#ifndef SMARTX_JOB_RESTORE_OPTIONS_PARSER_H
#define SMARTX_JOB_RESTORE_OPTIONS_PARSER_H

#include "smartx/job/backup_options_parser.h"

namespace smartx {

// Keys are taken wherever they stand; an array under a key gives its
// elements to that key in turn, the last one remaining.
class Restore_Options_Parser : public Options_Parser {
public:
    Restore_Options_Parser();
    ~Restore_Options_Parser() override;
};

}  // namespace smartx

#endif
