// The rule tables as data: the sixteen global pattern texts, the auto-reply
// subject patterns and the status phrase table, one row per line in their
// fixed order. Patterns are Perl syntax; table rows are always tried
// case-insensitively, and the first matching row decides.
//
// Enhanced status codes (RFC 3463) have a detail of one to three digits
// ("5.1.10", "4.7.26"); every pattern that captures a dotted code takes the
// detail whole, so no code is cut to a different, shorter one.
//
// Rows marked "read by" below are also read by a fast path in src/search
// that engages only while the row has the text it reads (for rows 1, 6 and
// 16: the form it reads).
// Changing such a row is safe (the library then searches it), but slow on
// long lines: change the copy in that search with it, and run the tests
// (PhrasePrefilterTest.EveryFastPathIsEngagedForTheShippedTables names the
// fast path that stepped aside).

#include "analysis/patterns.h"

// The tables keep one row per line, as written.
// clang-format off

const char* const kGlobalPatternTexts[kGlobalPatternCount] = {
    // 1: bounceSubject; its opening word group read by the subject
    // prefilter, its tail by hasAbsenceBeforeOffice (kAbsenceTail)
    R"(/(mail delivery failed|failure notice|warning: message|delivery status notif|delivery failure|delivery problem|spam eater|returned mail|undeliverable|returned mail|delivery errors|mail status report|mail system error|failure delivery|delivery notification|delivery has failed|undelivered mail|returned email|returning message to sender|returned to sender|message delayed|mdaemon notification|mailserver notification|mail delivery system|nondeliverable mail|mail transaction failed)|auto.{0,20}reply|vacation|(out|away|on holiday).*office/i)",
    R"(/auto_reply/)",  // 2: precedenceAutoReply
    R"(/^(postmaster|mailer-daemon)\@?/i)",  // 3: postmasterFrom
    R"(/feedback-report/)",  // 4: feedbackReportType
    R"(/scomp/)",  // 5: xLoopScomp
    R"(/auto.{0,20}reply|vacation|(out|away|on holiday).*office/i)",  // 6: autoReplySubject; tail read by hasAbsenceBeforeOffice (kAbsenceTail)
    R"(/\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b/i)",  // 7: emailAddress; read by AddressScan
    R"(/(\d\.\d\.\d{1,3})\s/)",  // 8: diagnosticDotted; read by StatusCodeScan
    R"(/(\d\d\d)\s/)",  // 9: diagnosticThreeDigit; read by StatusCodeScan
    R"(/([245]\.[0-7]\.\d{1,3})(.*)/)",  // 10: statusDotted; read by StatusCodeScan
    R"(/([245])([01234567])([012345678])(.*)/)",  // 11: statusThreeDigit; read by StatusCodeScan
    R"(/failed/)",  // 12: actionFailed
    R"(/Undisclosed|redacted/i)",  // 13: withheldRecipient
    R"(/\W([245]\.[0-7]\.\d{1,3})\W/)",  // 14: freeTextDotted
    R"(/\]?: ([45][01257][012345]) /)",  // 15: replyCodeAfterColon
    // 16: replyCodeAtStart; read by ReplyCodeRefusal (its form, its words
    // spelled out)
    R"(/^([45][01257][012345]) (?:.*?)(?:denied|inactive|deactivated|rejected|disabled|unknown|no such|not (?:our|activated|a valid))+/i)",
};

const char* const AutoReplySubjectPatterns[kAutoReplySubjectPatternCount] = {
    R"(^\[?auto.{0,20}reply\]?)",
    R"(^auto-?response)",
    R"(^auto response)",
    R"(^Thank you for your email\.)",
    R"(^Vacation.{0,20}(reply|respon))",
    R"(^out.?of (the )?office)",
    R"(^(I am|I'm).{0,20}\s(away|on vacation|on leave|out of office|out of the office))",
};

// Rows 0 to 2 extract the code a rejection text quotes (group 1); every
// other row maps a phrase to the status of its run of rows.
const StatusPhraseRow StatusPhraseTable[kStatusPhraseRowCount] = {
    {R"([45]\d\d[- ]#?([45]\.\d\.\d{1,3}))", "x"},  // 0
    {R"(Diagnostic[- ][Cc]ode: smtp; ?\d\d\ ([45]\.\d\.\d{1,3}))", "x"},  // 1
    {R"(Status: ([45]\.\d\.\d{1,3}))", "x"},  // 2
    // 4.2.0
    {R"(not yet been delivered)", "4.2.0"},  // 3
    {R"(Message will be retried for)", "4.2.0"},  // 4
    // 4.2.2
    {R"(Benutzer hat zuviele Mails auf dem Server)", "4.2.2"},  // 5
    {R"(exceeded storage allocation)", "4.2.2"},  // 6
    {R"(Mailbox full)", "4.2.2"},  // 7
    {R"(mailbox is full)", "4.2.2"},  // 8
    {R"(Mailbox quota usage exceeded)", "4.2.2"},  // 9
    {R"(Mailbox size limit exceeded)", "4.2.2"},  // 10
    {R"(over ?quota)", "4.2.2"},  // 11
    {R"(quota exceeded)", "4.2.2"},  // 12
    {R"(Quota violation)", "4.2.2"},  // 13
    {R"(User has exhausted allowed storage space)", "4.2.2"},  // 14
    {R"(User has too many messages on the server)", "4.2.2"},  // 15
    {R"(User mailbox exceeds allowed size)", "4.2.2"},  // 16
    {R"(mailfolder is full)", "4.2.2"},  // 17
    {R"(user has Exceeded)", "4.2.2"},  // 18
    {R"(not enough storage space)", "4.2.2"},  // 19
    {R"(user is over quota)", "4.2.2"},  // 20
    // 4.3.2
    {R"(Delivery attempts will continue to be made for)", "4.3.2"},  // 21
    {R"(delivery temporarily suspended)", "4.3.2"},  // 22
    {R"(Greylisted for 5 minutes)", "4.3.2"},  // 23
    {R"(Greylisting in action)", "4.3.2"},  // 24
    {R"(Server busy)", "4.3.2"},  // 25
    {R"(server too busy)", "4.3.2"},  // 26
    {R"(system load is too high)", "4.3.2"},  // 27
    {R"(temporarily deferred)", "4.3.2"},  // 28
    {R"(temporarily unavailable)", "4.3.2"},  // 29
    {R"(Throttling)", "4.3.2"},  // 30
    {R"(too busy to accept mail)", "4.3.2"},  // 31
    {R"(too many connections)", "4.3.2"},  // 32
    {R"(too many sessions)", "4.3.2"},  // 33
    {R"(Too much load)", "4.3.2"},  // 34
    {R"(try again later)", "4.3.2"},  // 35
    {R"(Try later)", "4.3.2"},  // 36
    {R"(The recipient server did not accept our requests to connect)", "4.3.2"},  // 37
    {R"(Connection was dropped by remote host)", "4.3.2"},  // 38
    {R"(Could not initiate SMTP conversation)", "4.3.2"},  // 39
    // 4.4.7
    {R"(retry timeout exceeded)", "4.4.7"},  // 40
    {R"(queue too long)", "4.4.7"},  // 41
    // 5.1.1
    {R"(554 delivery error:)", "5.1.1"},  // 42
    {R"(account has been disabled)", "5.1.1"},  // 43
    {R"(account is unavailable)", "5.1.1"},  // 44
    {R"(Account not found)", "5.1.1"},  // 45
    {R"(Address invalid)", "5.1.1"},  // 46
    {R"(Address is unknown)", "5.1.1"},  // 47
    {R"(Address unknown)", "5.1.1"},  // 48
    {R"(Addressee unknown)", "5.1.1"},  // 49
    {R"(ADDRESS_NOT_FOUND)", "5.1.1"},  // 50
    {R"(bad address)", "5.1.1"},  // 51
    {R"(Bad destination mailbox address)", "5.1.1"},  // 52
    {R"(destin. Sconosciuto)", "5.1.1"},  // 53
    {R"(Destinatario errato)", "5.1.1"},  // 54
    {R"(Destinatario sconosciuto o mailbox)", "5.1.1"},  // 55
    {R"(Destinatario desconocido o mailbox)", "5.1.1"},  // 56
    {R"(does not exist)", "5.1.1"},  // 57
    {R"(Email Address was not found)", "5.1.1"},  // 58
    {R"(Excessive userid unknowns)", "5.1.1"},  // 59
    {R"(Indirizzo inesistente)", "5.1.1"},  // 60
    {R"(Invalid account)", "5.1.1"},  // 61
    {R"(invalid address)", "5.1.1"},  // 62
    {R"(Invalid or unknown virtual user)", "5.1.1"},  // 63
    {R"(Invalid mailbox)", "5.1.1"},  // 64
    {R"(Invalid recipient)", "5.1.1"},  // 65
    {R"(Mailbox not found)", "5.1.1"},  // 66
    {R"(mailbox unavailable)", "5.1.1"},  // 67
    {R"(nie istnieje)", "5.1.1"},  // 68
    {R"(Nie ma takiego konta)", "5.1.1"},  // 69
    {R"(No mail box available for this user)", "5.1.1"},  // 70
    {R"(no mailbox here)", "5.1.1"},  // 71
    {R"(No one with that email address here)", "5.1.1"},  // 72
    {R"(no such address)", "5.1.1"},  // 73
    {R"(no such email address)", "5.1.1"},  // 74
    {R"(No such mail drop defined)", "5.1.1"},  // 75
    {R"(No such mailbox)", "5.1.1"},  // 76
    {R"(No such person at this address)", "5.1.1"},  // 77
    {R"(no such recipient)", "5.1.1"},  // 78
    {R"(No such user)", "5.1.1"},  // 79
    {R"(not a known user)", "5.1.1"},  // 80
    {R"(not a valid mailbox)", "5.1.1"},  // 81
    {R"(not a valid user)", "5.1.1"},  // 82
    {R"(not available)", "5.1.1"},  // 83
    {R"(not exists)", "5.1.1"},  // 84
    {R"(Recipient address rejected)", "5.1.1"},  // 85
    {R"(Recipient not allowed)", "5.1.1"},  // 86
    {R"(Recipient not found)", "5.1.1"},  // 87
    {R"(recipient rejected)", "5.1.1"},  // 88
    {R"(Recipient unknown)", "5.1.1"},  // 89
    {R"(server doesn't handle mail for that user)", "5.1.1"},  // 90
    {R"(This account is disabled)", "5.1.1"},  // 91
    {R"(This address no longer accepts mail)", "5.1.1"},  // 92
    {R"(This email address is not known to this system)", "5.1.1"},  // 93
    {R"(Unknown account)", "5.1.1"},  // 94
    {R"(unknown address or alias)", "5.1.1"},  // 95
    {R"(Unknown email address)", "5.1.1"},  // 96
    {R"(Unknown local part)", "5.1.1"},  // 97
    {R"(unknown or illegal alias)", "5.1.1"},  // 98
    {R"(unknown or illegal user)", "5.1.1"},  // 99
    {R"(Unknown recipient)", "5.1.1"},  // 100
    {R"(unknown user)", "5.1.1"},  // 101
    {R"(user disabled)", "5.1.1"},  // 102
    {R"(User doesn't exist in this server)", "5.1.1"},  // 103
    {R"(user invalid)", "5.1.1"},  // 104
    {R"(User is suspended)", "5.1.1"},  // 105
    {R"(User is unknown)", "5.1.1"},  // 106
    {R"(User not found)", "5.1.1"},  // 107
    {R"(User not known)", "5.1.1"},  // 108
    {R"(User unknown)", "5.1.1"},  // 109
    {R"(valid RCPT command must precede DATA)", "5.1.1"},  // 110
    {R"(was not found in LDAP server)", "5.1.1"},  // 111
    {R"(We are sorry but the address is invalid)", "5.1.1"},  // 112
    {R"(Unable to find alias user)", "5.1.1"},  // 113
    {R"(User unknown in virtual alias table)", "5.1.1"},  // 114
    {R"(The recipient was unavailable to take delivery of the message)", "5.1.1"},  // 115
    {R"(Sorry, no mailbox here by that name)", "5.1.1"},  // 116
    {R"(550-5\.1\.1|This Gmail user does not exist\.)", "5.1.1"},  // 117
    // 5.1.2
    {R"(domain isn't in my list of allowed rcpthosts)", "5.1.2"},  // 118
    {R"(Esta casilla ha expirado por falta de uso)", "5.1.2"},  // 119
    {R"(host ?name is unknown)", "5.1.2"},  // 120
    {R"(no relaying allowed)", "5.1.2"},  // 121
    {R"(no such domain)", "5.1.2"},  // 122
    {R"(not our customer)", "5.1.2"},  // 123
    {R"(relay not permitted)", "5.1.2"},  // 124
    {R"(Relay access denied)", "5.1.2"},  // 125
    {R"(relaying denied)", "5.1.2"},  // 126
    {R"(Relaying not allowed)", "5.1.2"},  // 127
    {R"(This system is not configured to relay mail)", "5.1.2"},  // 128
    {R"(Unable to relay)", "5.1.2"},  // 129
    {R"(unrouteable mail domain)", "5.1.2"},  // 130
    {R"(we do not relay)", "5.1.2"},  // 131
    // 5.1.6
    {R"(Old address no longer valid)", "5.1.6"},  // 132
    {R"(recipient no longer on server)", "5.1.6"},  // 133
    // 5.1.8
    {R"(Sender address rejected)", "5.1.8"},  // 134
    // 5.2.0
    {R"(exceeded the rate limit)", "5.2.0"},  // 135
    {R"(Local Policy Violation)", "5.2.0"},  // 136
    {R"(Mailbox currently suspended)", "5.2.0"},  // 137
    {R"(mailbox unavailable)", "5.2.0"},  // 138
    {R"(mail can not be delivered)", "5.2.0"},  // 139
    {R"(Delivery failed)", "5.2.0"},  // 140
    {R"(mail couldn't be delivered)", "5.2.0"},  // 141
    {R"(The account or domain may not exist)", "5.2.0"},  // 142
    // 5.2.1
    {R"(Account disabled)", "5.2.1"},  // 143
    {R"(account has been disabled)", "5.2.1"},  // 144
    {R"(Account Inactive)", "5.2.1"},  // 145
    {R"(Adressat unbekannt oder Mailbox deaktiviert)", "5.2.1"},  // 146
    {R"(Destinataire inconnu ou boite aux lettres desactivee)", "5.2.1"},  // 147
    {R"(mail is not currently being accepted for this mailbox)", "5.2.1"},  // 148
    {R"(El usuario esta en estado: inactivo)", "5.2.1"},  // 149
    {R"(email account that you tried to reach is disabled)", "5.2.1"},  // 150
    {R"(inactive user)", "5.2.1"},  // 151
    {R"(Mailbox disabled for this recipient)", "5.2.1"},  // 152
    {R"(mailbox has been blocked due to inactivity)", "5.2.1"},  // 153
    {R"(mailbox is currently unavailable)", "5.2.1"},  // 154
    {R"(Mailbox is disabled)", "5.2.1"},  // 155
    {R"(Mailbox is inactive)", "5.2.1"},  // 156
    {R"(Mailbox Locked or Suspended)", "5.2.1"},  // 157
    {R"(mailbox temporarily disabled)", "5.2.1"},  // 158
    {R"(Podane konto jest zablokowane administracyjnie lub nieaktywne)", "5.2.1"},  // 159
    {R"(Questo indirizzo e' bloccato per inutilizzo)", "5.2.1"},  // 160
    {R"(Recipient mailbox was disabled)", "5.2.1"},  // 161
    {R"(Domain name not found)", "5.2.1"},  // 162
    // 5.4.4
    {R"(couldn't find any host named)", "5.4.4"},  // 163
    {R"(couldn't find any host by that name)", "5.4.4"},  // 164
    {R"(PERM_FAILURE: DNS Error)", "5.4.4"},  // 165
    {R"(Temporary lookup failure)", "5.4.4"},  // 166
    {R"(unrouteable address)", "5.4.4"},  // 167
    {R"(can't connect to)", "5.4.4"},  // 168
    // 5.4.6
    {R"(Too many hops)", "5.4.6"},  // 169
    // 5.5.0
    {R"(Requested action aborted)", "5.5.0"},  // 170
    {R"(550 OU\-002|Mail rejected by Windows Live Hotmail for policy reasons)", "5.5.0"},  // 171
    // 5.6.2
    {R"(rejecting password protected file attachment)", "5.6.2"},  // 172
    // 5.7.1
    {R"(550 OU-00)", "5.7.1"},  // 173
    {R"(550 SC-00)", "5.7.1"},  // 174
    {R"(550 DY-00)", "5.7.1"},  // 175
    {R"(554 denied)", "5.7.1"},  // 176
    {R"(You have been blocked by the recipient)", "5.7.1"},  // 177
    {R"(requires that you verify)", "5.7.1"},  // 178
    {R"(Access denied)", "5.7.1"},  // 179
    {R"(Administrative prohibition - unable to validate recipient)", "5.7.1"},  // 180
    {R"(Blacklisted)", "5.7.1"},  // 181
    {R"(blocke?d? for spam)", "5.7.1"},  // 182
    {R"(conection refused)", "5.7.1"},  // 183
    {R"(Connection refused due to abuse)", "5.7.1"},  // 184
    {R"(dial-up or dynamic-ip denied)", "5.7.1"},  // 185
    {R"(Domain has received too many bounces)", "5.7.1"},  // 186
    {R"(failed several antispam checks)", "5.7.1"},  // 187
    {R"(found in a DNS blacklist)", "5.7.1"},  // 188
    {R"(IPs blocked)", "5.7.1"},  // 189
    {R"(is blocked by)", "5.7.1"},  // 190
    {R"(Mail Refused)", "5.7.1"},  // 191
    {R"(Message does not pass DomainKeys)", "5.7.1"},  // 192
    {R"(Message looks like spam)", "5.7.1"},  // 193
    {R"(Message refused by)", "5.7.1"},  // 194
    {R"(not allowed access from your location)", "5.7.1"},  // 195
    {R"(permanently deferred)", "5.7.1"},  // 196
    {R"(Rejected by policy)", "5.7.1"},  // 197
    {R"(rejected by Windows Live Hotmail for policy reasons)", "5.7.1"},  // 198
    {R"(Rejected for policy reasons)", "5.7.1"},  // 199
    {R"(Rejecting banned content)", "5.7.1"},  // 200
    {R"(Sorry, looks like spam)", "5.7.1"},  // 201
    {R"(spam message discarded)", "5.7.1"},  // 202
    {R"(Too many spams from your IP)", "5.7.1"},  // 203
    {R"(TRANSACTION FAILED)", "5.7.1"},  // 204
    {R"(Transaction rejected)", "5.7.1"},  // 205
    {R"(Wiadomosc zostala odrzucona przez system antyspamowy)", "5.7.1"},  // 206
    {R"(Your message was declared Spam)", "5.7.1"},  // 207
    {R"(5.7.1 Your message.*?was blocked by ROTA DNSBL)", "5.7.1"},  // 208
};

// clang-format on
