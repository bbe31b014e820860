// mailbox_record
