/* The data-queue service's numbers on the wire: result codes, the search
 * orders of a keyed read and the queue order attribute. The client library
 * (services/dataqueue.h) hands them to applications as they come; the host
 * server answers with them. C, so that the client library's C header can
 * include it. */
#ifndef ZEL_WIRE_DATAQUEUE_CODES_H
#define ZEL_WIRE_DATAQUEUE_CODES_H

/* Result codes. */
#define QLXDQ_RC_OK 0u
#define QLXDQ_RC_INVALID_HANDLE 6001u    /* not a live handle of this process */
#define QLXDQ_RC_INVALID_PARAMETER 6002u /* null pointer, bad name, order or length */
#define QLXDQ_RC_NOT_FOUND 6003u         /* no such queue on the host */
#define QLXDQ_RC_EXISTS 6004u            /* a queue of that name exists already */
#define QLXDQ_RC_TOO_LONG 6005u          /* entry longer than the queue's maximum record */
#define QLXDQ_RC_BUFFER_TOO_SMALL 6006u  /* the entry waiting is longer than the buffer */
#define QLXDQ_RC_CONNECTION 6007u        /* the host cannot be reached or was lost */
#define QLXDQ_RC_PROTOCOL 6008u          /* the host answered something malformed */
#define QLXDQ_RC_NO_MEMORY 6009u         /* memory or handles ran out (on the host: queue full) */
#define QLXDQ_RC_NOT_READ 6010u          /* the data object holds no entry read */
#define QLXDQ_RC_CANCELLED 6011u         /* the read was cancelled (queue closed or deleted) */
#define QLXDQ_RC_KEY_SIZE 6012u          /* key length differs from the queue's key size */
#define QLXDQ_RC_REFUSED 6013u           /* the host refused the connection */
#define QLXDQ_RC_INTERNAL_ERROR 6014u    /* the library failed inside (an unexpected exception) */
#define QLXDQ_RC_TIMEOUT 6017u           /* the wait time ran out; no entry was taken */
#define QLXDQ_RC_IN_PROGRESS 6027u       /* the read is still waiting */

/* Search orders of a keyed read: which entry keys match the read's key. */
#define QLXDQ_ORDER_EQ 1u /* equal */
#define QLXDQ_ORDER_NE 2u /* not equal */
#define QLXDQ_ORDER_GT 3u /* greater */
#define QLXDQ_ORDER_GE 4u /* greater or equal */
#define QLXDQ_ORDER_LT 5u /* less */
#define QLXDQ_ORDER_LE 6u /* less or equal */

/* Queue order attribute: 2 is the keyed queue, the only kind the host keeps. */
#define QLXDQ_QUEUE_KEYED 2u

#endif /* ZEL_WIRE_DATAQUEUE_CODES_H */
