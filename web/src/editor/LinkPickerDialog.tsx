import { useMemo, useState } from "react";
import { Modal } from "../components/Modal";
import { NodeIcon } from "./NodeIcon";
import { linkTargets, nodeLabel, TYPE_NAMES, type NodePlace } from "./treeModel";
import { matchesText } from "../home/filters";

const SHOWN = 50;

/** Picks the node a hyperlink points at, by searching the tree's texts. */
export function LinkPickerDialog({
  places,
  self,
  onPick,
  onClose,
}: {
  places: Map<number, NodePlace>;
  self: number;
  onPick(nodeId: number): void;
  onClose(): void;
}) {
  const [search, setSearch] = useState("");
  const all = useMemo(() => linkTargets(places, self), [places, self]);
  const matches = all.filter((n) => matchesText(search, n.short, n.long, n.id));
  return (
    <Modal title="Link to a node" onClose={onClose}>
      <label htmlFor="link-search">Find a node</label>{" "}
      <input id="link-search" data-autofocus type="search" value={search} onChange={(e) => setSearch(e.target.value)} />
      <p className="hint" role="status">
        {matches.length === 0
          ? "No node matches."
          : matches.length > SHOWN
            ? `${matches.length} nodes match; the first ${SHOWN} are shown. Type more to narrow them down.`
            : `${matches.length} ${matches.length === 1 ? "node matches" : "nodes match"}.`}
      </p>
      <ul className="search-results">
        {matches.slice(0, SHOWN).map((n) => (
          <li key={n.id} className="row">
            <NodeIcon type={n.type} />
            <span>
              {nodeLabel(n)} <span className="muted">({TYPE_NAMES[n.type]} {n.id})</span>
            </span>
            <button type="button" onClick={() => onPick(n.id)} aria-label={`Link to ${nodeLabel(n)}`}>
              Link here
            </button>
          </li>
        ))}
      </ul>
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Cancel
        </button>
      </div>
    </Modal>
  );
}
