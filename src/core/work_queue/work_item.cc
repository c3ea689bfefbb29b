#include "work_queue/work_item.h"

namespace kiv::work_queue {

template class Sender<WorkItem>;
template class Receiver<WorkItem>;

void AttachmentSlot::replace(ImageHubAttachment attachment) {
  std::optional<ImageHubAttachment> previous(std::move(attachment));
  std::lock_guard lock(mutex_);
  attachment_.swap(previous);
}  // `previous`, now the earlier content, goes after the lock

}  // namespace kiv::work_queue
