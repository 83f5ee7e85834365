(function () {
  var outline = document.getElementById('outline');
  var rows = Array.prototype.slice.call(outline.querySelectorAll('.row'));
  function refresh() {
    var open = { '0': true };
    var shown = 0;
    rows.forEach(function (row) {
      var visible = open[row.dataset.parent] === true;
      row.hidden = !visible;
      open[row.dataset.id] = visible && row.getAttribute('aria-expanded') === 'true';
      if (visible) {
        row.classList.toggle('alt', shown % 2 === 1);
        shown += 1;
      }
    });
  }
  outline.addEventListener('click', function (event) {
    var button = event.target.closest('.disclosure');
    if (!button) return;
    var row = button.closest('.row');
    var opening = row.getAttribute('aria-expanded') !== 'true';
    row.setAttribute('aria-expanded', String(opening));
    button.setAttribute('aria-label', opening ? '折叠' : '展开');
    if (event.altKey) {
      var depth = Number(row.dataset.depth);
      for (var i = rows.indexOf(row) + 1; i < rows.length && Number(rows[i].dataset.depth) > depth; i++) {
        if (rows[i].dataset.expandable === 'true') rows[i].setAttribute('aria-expanded', String(opening));
      }
    }
    refresh();
  });
  refresh();
})();
