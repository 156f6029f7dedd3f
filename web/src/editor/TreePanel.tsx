import { ChevronDown, ChevronRight } from "lucide-react";
import { forwardRef, useEffect, useMemo, useRef, type HTMLAttributes } from "react";
import { Tree, type NodeApi, type NodeRendererProps, type RowRendererProps, type TreeApi } from "react-arborist";
import type { Visibility } from "../api/types";
import { useElementSize } from "../components/useElementSize";
import { NodeIcon } from "./NodeIcon";
import { TYPE_NAMES, type PanelNode } from "./treeModel";
import { visibilityName } from "./visibilities";

interface Props {
  data: PanelNode[];
  nodeCount: number;
  selectedId: number | null;
  onSelect(nodeId: number): void;
  /** Null when the tree cannot be changed (nothing may be dragged). */
  onMove: ((nodeId: number, dropIndex: number) => void) | null;
  catalog: Visibility[] | undefined;
  /** Node ids with unsaved edits, marked in the panel. */
  unsaved: ReadonlySet<number>;
  cutNodeId: number | null;
  label: string;
}

/**
 * The scrolling element of the virtual list. It is in the tab order so that
 * keyboard users can scroll it; the keys themselves reach the tree around it.
 */
const ScrollArea = forwardRef<HTMLDivElement, HTMLAttributes<HTMLDivElement>>(function ScrollArea(props, ref) {
  return <div {...props} ref={ref} tabIndex={0} role="group" aria-label="Scroll the nodes" />;
});

/** What a screen reader says after a node's text: its type, audiences and state. */
function describeNode(d: PanelNode, catalog: Visibility[] | undefined, unsaved: boolean): string {
  const parts: string[] = [TYPE_NAMES[d.type]];
  if (d.type !== 0) {
    parts.push(
      d.visibilities.length
        ? `visible to ${d.visibilities.map((v) => visibilityName(catalog, v)).join(", ")}`
        : "visible to nobody",
    );
  }
  if (unsaved) parts.push("unsaved changes");
  return parts.join("; ");
}

/** Trees above this size open with only their first two levels showing. */
const OPEN_ALL_UP_TO = 400;

/**
 * The tree in a virtualised panel: only the rows in view are rendered. Arrow
 * keys move between nodes, left and right collapse and expand, Home and End
 * jump, and the selection follows the keyboard focus.
 */
export function TreePanel({ data, nodeCount, selectedId, onSelect, onMove, catalog, unsaved, cutNodeId, label }: Props) {
  const { ref, width, height } = useElementSize<HTMLDivElement>();
  const api = useRef<TreeApi<PanelNode> | null>(null);

  // A node chosen from elsewhere (a link, a finding, a new child) may sit in a
  // closed branch: open the way to it, then mark it as selected.
  useEffect(() => {
    const tree = api.current;
    if (!tree || selectedId === null) return;
    const id = String(selectedId);
    if (tree.get(id)?.isSelected) return;
    tree.openParents(id);
    // The opened rows appear after the panel's next render.
    let frames = 0;
    let handle = 0;
    const mark = () => {
      if (tree.get(id)) tree.select(id, { focus: false });
      else if (frames++ < 30) handle = requestAnimationFrame(mark);
    };
    handle = requestAnimationFrame(mark);
    return () => cancelAnimationFrame(handle);
  }, [selectedId]);
  const initialOpenState = useMemo(() => {
    if (nodeCount <= OPEN_ALL_UP_TO) return undefined;
    const open: Record<string, boolean> = {};
    for (const top of data) open[top.id] = true;
    return open;
    // Only the first render decides; later reloads keep what the user opened and closed.
  }, []);

  const Row = useMemo(
    () =>
      function Row({ node, innerRef, attrs, children }: RowRendererProps<PanelNode>) {
        return (
          <div
            {...attrs}
            ref={innerRef}
            aria-label={node.data.label}
            aria-describedby={`tree-desc-${node.data.id}`}
            aria-expanded={node.isLeaf ? undefined : node.isOpen}
            onFocus={(e) => e.stopPropagation()}
            onClick={node.handleClick}
          >
            {children}
          </div>
        );
      },
    [],
  );

  const Node = useMemo(
    () =>
      function Node({ node, style, dragHandle }: NodeRendererProps<PanelNode>) {
        const d = node.data;
        const classes = ["tree-row"];
        if (node.isSelected) classes.push("selected");
        if (node.isFocused) classes.push("focused");
        if (node.willReceiveDrop) classes.push("drop-target");
        return (
          <div className={classes.join(" ")} style={style} ref={dragHandle}>
            <span
              className="toggle"
              aria-hidden="true"
              onClick={(e) => {
                e.stopPropagation();
                node.toggle();
              }}
            >
              {node.isLeaf ? null : node.isOpen ? <ChevronDown size={14} /> : <ChevronRight size={14} />}
            </span>
            <NodeIcon type={d.type} />
            <span id={`tree-desc-${d.id}`} className="visually-hidden">
              {describeNode(d, catalog, unsaved.has(d.nodeId))}
            </span>
            <span className={`label${d.nodeId === cutNodeId ? " cut" : ""}`}>{d.label}</span>
            {unsaved.has(d.nodeId) ? <span className="badge">unsaved</span> : null}
            {d.type !== 0
              ? d.visibilities.map((v) => (
                  <span key={v} className="badge">
                    {visibilityName(catalog, v)}
                  </span>
                ))
              : null}
          </div>
        );
      },
    [catalog, unsaved, cutNodeId],
  );

  return (
    <div className="tree-column">
      <div className="toolbar" role="toolbar" aria-label="Tree view">
        <button type="button" onClick={() => api.current?.openAll()}>
          Expand all
        </button>
        <button type="button" onClick={() => api.current?.closeAll()}>
          Collapse all
        </button>
      </div>
      <div className="tree-panel" ref={ref}>
        {width > 0 && height > 0 ? (
          <Tree<PanelNode>
            ref={api}
            data={data}
            aria-label={label}
            width={width}
            height={height}
            rowHeight={28}
            indent={18}
            overscanCount={8}
            openByDefault={nodeCount <= OPEN_ALL_UP_TO}
            initialOpenState={initialOpenState}
            disableMultiSelection
            disableEdit
            selectionFollowsFocus
            selection={selectedId === null ? undefined : String(selectedId)}
            disableDrag={onMove ? (d: PanelNode) => d.type === 0 : true}
            disableDrop={({ parentNode, dragNodes }) =>
              !onMove || dragNodes.length !== 1 || dragNodes[0]!.parent?.id !== parentNode.id
            }
            onMove={({ dragNodes, index }) => {
              const dragged = dragNodes[0];
              if (onMove && dragged) onMove(dragged.data.nodeId, index);
            }}
            onSelect={(nodes: NodeApi<PanelNode>[]) => {
              const first = nodes[0];
              if (first) onSelect(first.data.nodeId);
            }}
            renderRow={Row}
            outerElementType={ScrollArea}
          >
            {Node}
          </Tree>
        ) : null}
      </div>
    </div>
  );
}
