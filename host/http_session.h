// A reusable connection to one HTTP server, shared through
// ACE_Intrusive_Auto_Ptr<HTTP_Session>.
#ifndef HOST_HTTP_SESSION_H
#define HOST_HTTP_SESSION_H

#include <ace/Thread_Mutex.h>

#include "qorm/intrusive_refcountable.h"

class HTTP_Session : public ACE_Intrusive_Refcountable_T<HTTP_Session, ACE_Thread_Mutex> {
 public:
  ~HTTP_Session() override;

 protected:
  HTTP_Session() = default;
};

#endif
