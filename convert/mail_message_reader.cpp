// mail_message_reader
