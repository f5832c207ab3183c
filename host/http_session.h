// A connection to one HTTP server, shared through
// ACE_Intrusive_Auto_Ptr<HTTP_Session>; made by HTTP_Session_Factory.
#ifndef HOST_HTTP_SESSION_H
#define HOST_HTTP_SESSION_H

#include <ace/Intrusive_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include "host/intrusive_refcountable.h"

class HTTP_Connection;
class HTTP_Request;
class HTTP_Response;

class HTTP_Session : public ACE_Intrusive_Refcountable_T<HTTP_Session, ACE_Thread_Mutex> {
public:
    ~HTTP_Session() override;

    // Sends the request and answers the connection its body is read from;
    // null when the server could not be reached.
    virtual ACE_Intrusive_Auto_Ptr<HTTP_Connection> send(HTTP_Request& request,
                                                         HTTP_Response& response);

protected:
    HTTP_Session() = default;
};

#endif
