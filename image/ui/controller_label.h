#pragma once

namespace varek {

class DataLink;
class DetailsPage;

// Binds the page's controller label (DBText1) to the controllers table's data
// link (DataSource4): the label shows ctrl_name of the current controller row
// and follows the selection (moves, opening and closing, edits); it is empty
// while there is no current row. The binding ends with the page or the link.
void bindControllerName(DetailsPage& page, DataLink& dataSource4);

} // namespace varek
