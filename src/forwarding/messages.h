// The forwarding pipeline's trace-log messages, in one place for the pipeline
// that writes them and for zelkhost, which names them in its run summary.
#ifndef ZELK_FORWARDING_MESSAGES_H_
#define ZELK_FORWARDING_MESSAGES_H_

namespace zelk::forwarding::messages {

inline constexpr char kNotEnabledMessage[] =
    "ForwardTransaction TransNo[%s] JobNo[%s] -- Internal t[Forward Transaction Not Enabled]";
inline constexpr char kZeroTransactionMessage[] =
    "ForwardTransaction TransNo:[%s] JobNo:[%s] -- Internal: t[Removing NULL Transaction]";
inline constexpr char kRecheckFailedMessage[] =
    "ForwardTransaction -- error while double checking jobno";
inline constexpr char kSuccessMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SUCCESS";
inline constexpr char kOpenFailedMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- t[Could not open file]";
inline constexpr char kWriteFailedMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- t[Could not write file]";
inline constexpr char kBusyStretchMessage[] =
    "ForwardTransaction file[%s] -- t[Busy until now: %d lines could not be written]";
inline constexpr char kSectionErrorMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- %s";
inline constexpr char kSectionFailureMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- t[%s]";
inline constexpr char kSpooledMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SPOOLED t[%s]";
// Written, but ahead of lines of its target that still wait in the spool.
inline constexpr char kAheadOfSpooledMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SUCCESS t[Ahead of %d "
    "spooled lines]";
// A failed append whose torn piece could not be cut off: the target holds
// it from byte `size` on, until someone mends the file.
inline constexpr char kCutBackFailedMessage[] =
    "ForwardTransaction file[%s] size[%lld] -- t[Could not cut back a failed line] cause[%s]";
}  // namespace zelk::forwarding::messages

#endif  // ZELK_FORWARDING_MESSAGES_H_
