import { Eye, ListChecks, Lock, Undo2, Upload } from "lucide-react";
import { useState } from "react";
import { Link } from "react-router-dom";
import { checkOut, publish, undoEdits, type TreeRef } from "../api/edit";
import { keys, useEngineMutation } from "../api/queries";
import type { Role, TreeDocument } from "../api/types";
import { hasRole } from "../auth/roles";
import { ConfirmDialog } from "../components/ConfirmDialog";
import { ErrorNotice } from "../components/ErrorNotice";
import { PlainError } from "../errors/messages";
import { CheckDialog } from "./CheckDialog";
import { previewPath } from "./paths";
import { PublishDialog } from "./PublishDialog";

interface Props {
  tree: TreeRef;
  treeName: string;
  doc: TreeDocument;
  me: string;
  role: Role | undefined;
  unsavedCount: number;
  onUndone(): void;
  onShowNode(nodeId: number): void;
}

/** Check out, undo edits, publish and preview: what the user's role allows for the tree's state. */
export function EditorToolbar({ tree, treeName, doc, me, role, unsavedCount, onUndone, onShowNode }: Props) {
  const [confirmUndo, setConfirmUndo] = useState(false);
  const [publishing, setPublishing] = useState(false);
  const [checking, setChecking] = useState(false);
  const [comment, setComment] = useState("");
  const refresh = () => [keys.tree(tree.treeType, tree.id)];
  const take = useEngineMutation(async () => {
    const holder = await checkOut(tree);
    if (holder && holder !== me) throw new PlainError(`${holder} has this tree checked out, so you cannot check it out now.`);
  }, refresh);
  const undo = useEngineMutation(() => undoEdits(tree), refresh);
  const pub = useEngineMutation((a: { comment: string; force: boolean }) => publish(tree, a.comment, a.force), refresh);
  const mine = doc.checkedOutBy === me;
  const free = !doc.checkedOutBy;

  return (
    <div className="toolbar" role="toolbar" aria-label="Tree">
      {free && hasRole(role, "author") ? (
        <button type="button" className="primary" disabled={take.isPending} onClick={() => take.mutate()}>
          <Lock aria-hidden="true" size={16} /> Check out
        </button>
      ) : null}
      {mine ? (
        <button type="button" onClick={() => setConfirmUndo(true)}>
          <Undo2 aria-hidden="true" size={16} /> Undo edits
        </button>
      ) : null}
      {doc.checkedOutBy && hasRole(role, "publisher") ? (
        <button type="button" className={mine ? "primary" : ""} onClick={() => setPublishing(true)}>
          <Upload aria-hidden="true" size={16} /> Publish
        </button>
      ) : null}
      {mine ? (
        <button type="button" onClick={() => setChecking(true)}>
          <ListChecks aria-hidden="true" size={16} /> Check tree
        </button>
      ) : null}
      <Link className="button" to={previewPath(tree)}>
        <Eye aria-hidden="true" size={16} /> Preview
      </Link>
      <span className="muted">
        {doc.nodeCount} {doc.nodeCount === 1 ? "node" : "nodes"} · {doc.view === "working" ? "your working copy" : "published copy"}
      </span>
      <ErrorNotice error={take.error} title="Not checked out." />
      {confirmUndo ? (
        <ConfirmDialog
          title="Undo edits?"
          confirmLabel="Undo edits"
          danger
          onConfirm={async () => {
            await undo.mutateAsync();
            onUndone();
          }}
          onClose={() => setConfirmUndo(false)}
        >
          <p>
            Every change you made since you checked out {treeName} is thrown away, unsaved ones included, and the tree is
            released for others. The published tree stays as it is.
          </p>
        </ConfirmDialog>
      ) : null}
      {checking ? (
        <CheckDialog tree={tree} treeName={treeName} onShowNode={onShowNode} onClose={() => setChecking(false)} />
      ) : null}
      {publishing ? (
        <PublishDialog
          tree={tree}
          treeName={treeName}
          holder={mine ? null : doc.checkedOutBy}
          unsavedCount={mine ? unsavedCount : 0}
          comment={comment}
          onComment={setComment}
          onPublish={async (text, force) => {
            await pub.mutateAsync({ comment: text, force });
            setComment("");
          }}
          onShowNode={onShowNode}
          onClose={() => setPublishing(false)}
        />
      ) : null}
    </div>
  );
}
